#!/bin/bash
# The cluster script when a daemon does not start: slurmd stand-in that
# prints a message and exits, munged and slurmctld stand-ins that live on.
# cluster_start must fail with slurmd's message, stop the stand-ins that
# still run and leave no shell error behind.
set -uo pipefail
[ "$(id -u)" -eq 0 ] || { echo "needs root, as the cluster does"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/veilshadow-cluster.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin"
cat >"$tmp/bin/munged" <<'STUB'
#!/bin/bash
for a; do case $a in --socket=*) socket=${a#--socket=} ;; esac; done
exec -a "$0" python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); time.sleep(600)' "$socket"
STUB
cat >"$tmp/bin/slurmctld" <<'STUB'
#!/bin/bash
exec -a "$0" sleep 600
STUB
cat >"$tmp/bin/slurmd" <<'STUB'
#!/bin/bash
echo "slurmd: fatal: stand-in refuses to start" >&2
exit 1
STUB
printf '#!/bin/sh\nexit 1\n' >"$tmp/bin/sinfo"
chmod +x "$tmp/bin/"*

out=$tmp/out
(
    PATH=$tmp/bin:$PATH
    source "$(dirname "$0")/slurm_cluster.sh"
    MUNGED=$tmp/bin/munged SLURMCTLD=$tmp/bin/slurmctld SLURMD=$tmp/bin/slurmd
    trap cluster_stop EXIT
    cluster_start "$tmp/cluster"
) >"$out" 2>&1
rc=$?
fail() { echo "FAIL: $*"; sed 's/^/  | /' "$out"; exit 1; }
((rc == 1)) || fail "cluster_start exited $rc, not 1"
grep -q "stand-in refuses to start" "$out" || fail "slurmd's message is not shown"
grep -q "did not come up in 5 attempts" "$out" || fail "no closing message"
! grep -qi "unbound\|syntax error\|command not found" "$out" || fail "a shell error"
(($(grep -c '^slurm cluster: attempt [1-5] .* failed:$' "$out") == 5)) || fail "not 5 attempts reported"
! pgrep -f "^$tmp/bin/" >/dev/null || fail "a stand-in still runs: $(pgrep -af "^$tmp/bin/")"
echo "cluster_start failed cleanly after 5 attempts, every stand-in stopped"

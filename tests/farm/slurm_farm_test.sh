#!/bin/bash
# veilshadow farm slurm on a real one-node Slurm cluster started for the
# test: a sequence rendered in chunks and compared with a run on this
# machine, a re-run that renders only deleted frames, a run refused while
# an earlier job holds the same frames, a task cancelled while it runs
# and the range completed afterwards, frames cut short rendered again,
# outputs whose names read alike kept apart, another spelling of one OUT
# kept together, and the errors for a missing sbatch, an abbreviated
# --array, a refused job and a cluster that does not answer.
# Usage: slurm_farm_test.sh VEILSHADOW
set -uo pipefail
VEILSHADOW=$1
source "$(dirname "$0")/slurm_cluster.sh"

fail() {
    echo "FAIL: $*" >&2
    [ -f "${out:-}" ] && sed 's/^/  | /' "$out" >&2
    exit 1
}
expect() { grep -qF -- "$1" "$out" || fail "expected \"$1\" in the output of $2"; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/veilshadow-farm.XXXXXX") || exit 1
farm_pid= lease_pid=
cleanup() {
    [ -n "$farm_pid" ] && kill "$farm_pid" 2>/dev/null
    [ -n "$lease_pid" ] && kill "$lease_pid" 2>/dev/null
    cluster_stop
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
cluster_start "$tmp/cluster"

# The files sit in a folder whose name needs quoting in a shell and holds
# a frame pattern and Slurm's '%', and are named relative to it: the job
# script must quote the folder, expand patterns only in the names given,
# and Slurm must not expand the folder of the task logs.
work="$tmp/shot#12 1's 100%a frames"
mkdir -p "$work/farm" && cd "$work" || exit 1
for f in 1 2 3 4 5 6 7 8; do
    oiiotool --pattern noise:type=uniform:min=0:max=1:seed=$f 48x32 4 -d uint16 -o comp.000$f.png || exit 1
done
oiiotool --pattern noise:type=uniform:min=0:max=1:seed=99 48x32 4 -d uint16 -o layer.png || exit 1
"$VEILSHADOW" -q -i comp.#.png -l layer.png -o ref.#.png --frames 1-8 --opacity 30 || fail "the reference run"
farm=("$VEILSHADOW" farm slurm -i comp.#.png -l layer.png -o farm/out.#.png --frames 1-8 --opacity 30 --chunk 3)
jobs_dir=farm/veilshadow-farm
out=$tmp/out.txt

# Every command is bounded in time: a job that never ends fails the test.
run() { # expected exit code, arguments
    local expected=$1
    shift
    timeout 90 "$@" >"$out" 2>&1
    local code=$?
    [ "$code" = "$expected" ] || fail "exit code $code, not $expected, from: ${*:2}"
}
same_as_reference() {
    for f in 1 2 3 4 5 6 7 8; do
        cmp -s ref.000$f.png farm/out.000$f.png || fail "frame $f differs from the run on one machine"
    done
}
logs() { ls "$jobs_dir"/*.log 2>/dev/null | wc -l; }
job_id() { sed -n 's/^submitted job \([0-9]*\):.*/\1/p' "$out"; }

# Bad usage and no Slurm on PATH: nothing submitted.
run 2 "$VEILSHADOW" farm slurm -i comp.#.png -l layer.png -o farm/out.#.png --opacity 30
expect "needs --frames" "farm slurm without --frames"
run 1 env PATH=/nonexistent "${farm[@]}"
expect "veilshadow: sbatch not found" "a run without sbatch on PATH"

# The whole range, in three tasks.
run 0 "${farm[@]}" --wait
expect "3 tasks of up to 3 frames (array 0-2)" "the first run"
expect "8 of 8 frames written" "the first run"
grep -q -- "--shape-frame=1 " "$jobs_dir"/out.png-*.sbatch || fail "the chunks are not held to frame 1"
case "$tmp" in /tmp/*) expect "under /tmp, which the farm's nodes may not see" "the first run" ;; esac
[ "$(logs)" = 3 ] || fail "$(logs) task logs after the first run, not 3"
same_as_reference

# Two frames deleted: only their chunks are submitted, only they rendered.
rm farm/out.0002.png farm/out.0007.png
before=$(stat -c '%n %i %y' farm/out.000[134568].png)
run 0 "${farm[@]}" --wait
expect "2 tasks of up to 3 frames (array 0,2) for 2 missing frames of 8" "the run after deleting two frames"
expect "8 of 8 frames written" "the run after deleting two frames"
[ "$before" = "$(stat -c '%n %i %y' farm/out.000[134568].png)" ] || fail "frames that were there were written again"
same_as_reference

# A frame emptied and one cut short, as a full disk leaves them, are not
# written frames: their chunks render them again.
: >farm/out.0004.png
truncate -s -20 farm/out.0005.png
run 0 "${farm[@]}" --wait
expect "1 task of up to 3 frames (array 1) for 2 missing frames of 8" "the run after cutting two frames"
same_as_reference

# Nothing missing: nothing submitted.
run 0 "${farm[@]}" --wait
expect "all 8 frames of 1-8 are written: nothing to submit" "a run with every frame written"
[ "$(logs)" = 6 ] || fail "a run with nothing missing left task logs"

# A job held in the queue keeps a second run from submitting its frames
# again, however OUT is spelled and wherever the job folder is, and a
# refused job is reported as such. An abbreviation of --array is refused.
rm farm/out.0008.png
run 2 "${farm[@]}" --sbatch=--arr=7
expect "the array is veilshadow's" "a run given --sbatch=--arr=7"
run 0 "${farm[@]}" --sbatch=--hold
held=$(job_id)
run 1 "${farm[@]}" --wait
expect "job $held of an earlier run still has frames 7-8" "a run while job $held is held"
run 1 "$VEILSHADOW" farm slurm -i comp.#.png -l layer.png -o farm/../farm/out.%04d.png --frames 1-8 \
    --opacity 30 --chunk 3 --job-dir "$tmp/other jobs"
expect "job $held of an earlier run still has frames 7-8" "a run for farm/out.%04d.png while job $held is held"
scancel "$held" || fail "scancel $held"
run 1 "${farm[@]}" --job-dir "$tmp/other jobs" --sbatch=--partition=nosuchpartition
expect "veilshadow: the Slurm cluster refused the job: " "a run with an unknown partition"
expect "Invalid partition name specified" "a run with an unknown partition"

# Outputs whose names clean up alike are other jobs: one held in the
# queue holds back no other.
run 0 "$VEILSHADOW" farm slurm -i comp.#.png -l layer.png -o "farm/x y.#.png" --frames 7-8 --sbatch=--hold
other=$(job_id)
run 0 "$VEILSHADOW" farm slurm -i comp.#.png -l layer.png -o farm/x_y.#.png --frames 7-8 --wait
expect "2 of 2 frames written" "a run for farm/x_y.#.png while job $other holds farm/x y.#.png"
scancel "$other" || fail "scancel $other"

# A task cancelled while it runs. The job is submitted held; then frame
# 8's COMP is put under a write lease that its holder never gives up, and
# the job released: the task's open() of that COMP waits (up to the
# kernel's lease-break time, 45 s by default) until the task is cancelled.
# (A FIFO would not do: veilshadow refuses one at once.)
task_running() {
    [ "$(squeue -j "$(job_id)" -h -o %T 2>/dev/null)" = RUNNING ]
}
submitted() { [ -n "$(job_id)" ]; }
lease_held() { grep -q held "$tmp/lease"; }
timeout 90 "${farm[@]}" --wait --sbatch=--hold >"$out" 2>&1 &
farm_pid=$!
cluster_poll 30 submitted || fail "no job submitted"
python3 - comp.0008.png >"$tmp/lease" <<'PYTHON' &
import fcntl, os, signal, sys
signal.signal(signal.SIGIO, signal.SIG_IGN)  # the notice to give the lease up, ignored
fcntl.fcntl(os.open(sys.argv[1], os.O_RDONLY), fcntl.F_SETLEASE, fcntl.F_WRLCK)
print("held", flush=True)
signal.pause()
PYTHON
lease_pid=$!
cluster_poll 10 lease_held || fail "no lease on comp.0008.png"
scontrol release "$(job_id)" || fail "scontrol release"
cluster_poll 30 task_running || fail "the task did not start"
scancel "$(job_id)" || fail "scancel"
wait "$farm_pid"
code=$?
farm_pid=
kill "$lease_pid" && wait "$lease_pid"
lease_pid=
[ "$code" = 1 ] || fail "exit code $code, not 1, after the job was cancelled"
expect "1 task of up to 3 frames (array 2) for 1 missing frame of 8" "the cancelled run"
expect "7 of 8 frames written; missing: 8" "the cancelled run"
grep -q CANCELLED "$jobs_dir"/out.png-*-"$(job_id)"_2.log || fail "the task was not cancelled while it ran"

# The same command again completes the range.
run 0 "${farm[@]}" --wait
expect "8 of 8 frames written" "the run after the cancelled one"
same_as_reference

# The controller gone: said so, with Slurm's message (the records of the
# ended jobs removed, so that the run asks sbatch, not squeue).
rm farm/out.0001.png "$jobs_dir"/out.png-*.jobs
cluster_stop_controller
run 1 "${farm[@]}" --job-dir "$tmp/more jobs"
expect "veilshadow: cannot reach the Slurm cluster: sbatch: error: " "a run with the controller stopped"
echo "PASS"

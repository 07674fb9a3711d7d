#!/bin/bash
# A full disk fails the frame it cuts short: exit 1, one line naming OUT
# and the system's reason, nothing left in the folder; with --keep-going
# the frames after it are still tried. OUT goes to a 16 KiB file system
# mounted in a mount namespace of the test's own, so nothing else sees it.
# Usage: full_disk_test.sh VEILSHADOW   (needs root; skipped otherwise)
set -uo pipefail
VEILSHADOW=$1
if [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; then
    echo "SKIP: mounting a small file system needs root"
    exit 77
fi
tmp=$(mktemp -d "${TMPDIR:-/tmp}/veilshadow-full.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

for ext in png exr; do
    for f in 1 2; do
        oiiotool --pattern noise:type=uniform:min=0:max=1:seed=$f 160x120 4 -d half -o "$tmp/comp.000$f.$ext" || exit 1
    done
    oiiotool --pattern noise:type=uniform:min=0:max=1:seed=9 160x120 4 -d half -o "$tmp/layer.$ext" || exit 1
done
mkdir "$tmp/full"
unshare -m bash -s -- "$VEILSHADOW" "$tmp" <<'SCRIPT' || fail "see above"
VEILSHADOW=$1
tmp=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
mount -t tmpfs -o size=16k veilshadow-full "$tmp/full" || fail "cannot mount a tmpfs"
for ext in png exr; do
    "$VEILSHADOW" -i "$tmp/comp.#.$ext" -l "$tmp/layer.$ext" -o "$tmp/full/out.#.$ext" --frames 1-2 \
        --keep-going >"$tmp/log" 2>&1
    code=$?
    cat "$tmp/log"
    [ "$code" = 1 ] || fail "$ext: exit code $code, not 1"
    for f in 1 2; do
        grep -qF "veilshadow: frame $f: $tmp/full/out.000$f.$ext: cannot write: No space left on device" "$tmp/log" ||
            fail "$ext: frame $f's error does not name its file and the full disk"
    done
    grep -qF "summary: 0 rendered, 0 skipped, 2 failed (frames 1-2)" "$tmp/log" || fail "$ext: the summary"
    [ -z "$(ls -A "$tmp/full")" ] || fail "$ext: files left behind: $(ls -A "$tmp/full")"
done
SCRIPT
echo PASS

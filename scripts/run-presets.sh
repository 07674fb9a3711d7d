#!/usr/bin/env bash
# Runs `make <step>` for each step named, one after the other, and prints
# how long each took: after each step and again, all together, at the end.
# Stops at the first step that fails; the summary then names it.
set -uo pipefail
cd "$(dirname "$0")/.."

times=()
summary() {
  echo
  echo "Time per step:"
  printf '  %s\n' "${times[@]}"
}
start_all=$SECONDS
for step in "$@"; do
  echo "==== $step ===="
  start=$SECONDS
  make --no-print-directory "$step"
  rc=$?
  took=$((SECONDS - start))
  if ((rc != 0)); then
    times+=("$(printf '%-12s %5d s  FAILED' "$step" "$took")")
    summary
    echo "error: step '$step' failed after $took s" >&2
    exit "$rc"
  fi
  times+=("$(printf '%-12s %5d s' "$step" "$took")")
  echo "==== $step: passed in $took s ===="
done
times+=("$(printf '%-12s %5d s' total $((SECONDS - start_all)))")
summary

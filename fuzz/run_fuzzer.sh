#!/bin/sh
# Runs one libFuzzer target.
#
#   run_fuzzer.sh replay FUZZER SEEDS
#       runs every seed once and stops.
#   run_fuzzer.sh check FUZZER SEEDS WORK RUNS
#       fuzzes from the seeds for RUNS executions from a fixed random seed,
#       so that every run tries the same inputs (the test suite's run).
#   run_fuzzer.sh run FUZZER SEEDS WORK SECONDS [keep]
#       fuzzes from the seeds for SECONDS from a fresh random seed, new
#       inputs going to WORK (emptied first unless "keep").
#
# New inputs go to WORK/corpus; a crashing input is saved in WORK as
# crash-*. Exits non-zero on a crash, a sanitizer report, a failed check or
# a hang: an input running over 25 s, or over 120 s in the test suite's
# modes (replay and check), whose outcome must not hang on how busy the
# machine is. Prints the number of executions.
set -eu
mode=$1
fuzzer=$2
seeds=$3
name=$(basename "$fuzzer")

case "$mode" in
replay)
    count=$(find "$seeds" -type f | wc -l)
    echo "$name: replaying $count seeds from $seeds"
    exec "$fuzzer" -runs=0 -timeout=120 -rss_limit_mb=3072 "$seeds"
    ;;
check)
    work=$4
    bound="-seed=1 -runs=$5"
    what="$5 executions from seed 1"
    hang=120
    rm -rf "$work"
    ;;
run)
    work=$4
    bound="-max_total_time=$5 -runs=2000000000"
    what="$5 s"
    hang=25
    if [ "${6:-}" != keep ]; then rm -rf "$work"; fi
    ;;
*)
    echo "usage: run_fuzzer.sh replay FUZZER SEEDS | check FUZZER SEEDS WORK RUNS |" \
        "run FUZZER SEEDS WORK SECONDS [keep]" >&2
    exit 2
    ;;
esac

mkdir -p "$work/corpus"
# Scratch files of the targets go here too, so a crash leaves them beside
# its input.
TMPDIR=$work
export TMPDIR
log="$work/fuzz.log"
status=0
# shellcheck disable=SC2086 # $bound is two options
"$fuzzer" $bound -timeout=$hang -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/corpus" "$seeds" >"$log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
new=$(find "$work/corpus" -type f | wc -l)
if [ "$status" -ne 0 ]; then
    tail -n 80 "$log"
    echo "$name: FAILED after ${runs:-?} executions; the input is in $work (log: $log)"
    exit "$status"
fi
echo "$name: ${runs:-?} executions ($what), $new new inputs kept in $work/corpus"

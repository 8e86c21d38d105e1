#!/bin/sh
# Runs one built fuzz target for a fixed number of runs from the committed
# seeds; prints the run count, peak memory and time, or the crash report.
# Usage: fuzz/run.sh TARGET RUNS
set -u
target=$1
runs=$2
build=${FUZZ_BUILD:-build/fuzz}
work=$build/corpus/$target
log=$build/$target.log
mkdir -p "$work" "$build/artifacts"

echo "== $target: $runs runs"
start=$(date +%s)
if ! "$build/$target" -runs="$runs" -max_len=4096 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" "$work" "fuzz/corpus/$target" 2>"$log"; then
    tail -n 60 "$log"
    echo "   $target: FAILED (reproducer in $build/artifacts, full log in $log)"
    exit 1
fi
grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" | sort -u
echo "   $target: clean in $(( $(date +%s) - start )) s"

#!/usr/bin/env bash
# Runs every fuzz target of a build tree for a number of seconds each, one after the other,
# and prints the executions per second of each. Usage: fuzz/run.sh <build-folder> <seconds>
#
# Each target starts from its seeds in tests/fuzz-corpus/<target>/ (read only) and keeps what
# it learns in <build-folder>/corpus/<target>/; a crash leaves its input in
# <build-folder>/artifacts/ and fails the run. Fixed crashes belong in the seed folder.
set -euo pipefail
build=$1
seconds=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$build/artifacts" "$build/logs"

total_runs=0
failed=()
while read -r target; do
    [ -n "$target" ] || continue
    corpus=$build/corpus/$target
    log=$build/logs/$target.log
    mkdir -p "$corpus"
    # -close_fd_mask=2 silences the library's error lines; libFuzzer and the sanitizers
    # keep reporting on a copy of standard error, which goes to the log.
    if "$build/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -close_fd_mask=2 -artifact_prefix="$build/artifacts/$target-" \
        "$corpus" "$here/tests/fuzz-corpus/$target" 2>"$log"; then
        status="no crash"
    else
        status="FAILED (log: $log)"
        failed+=("$target")
        tail -n 40 "$log" >&2
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    printf 'fuzz %-28s %10s runs in %ss, %8s exec/s, corpus %s inputs, %s\n' \
        "$target" "${runs:-?}" "$seconds" "${speed:-?}" "$(find "$corpus" -type f | wc -l)" "$status"
    total_runs=$((total_runs + ${runs:-0}))
done <"$build/fuzz/targets.txt"

echo "fuzz total: $total_runs runs"
[ ${#failed[@]} -eq 0 ] || { echo "fuzz: failing targets: ${failed[*]}" >&2; exit 1; }

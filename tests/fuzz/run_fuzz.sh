#!/bin/sh
# Fuzzes for a bounded time, from the seed corpus, without writing into it.
# Usage: run_fuzz.sh FUZZER SEED_CORPUS SECONDS
# By hand, longer: run_fuzz.sh build/fuzz/tests/fuzz/fuzz_dialogue tests/fuzz/corpus 3600
set -eu
fuzzer=$1 seeds=$2 seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
"$fuzzer" -max_total_time="$seconds" -max_len=512 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$seeds" 2>"$work/log" || {
    status=$?
    tail -n 60 "$work/log"
    for crash in "$work"/crash-* "$work"/timeout-* "$work"/leak-*; do
        [ -e "$crash" ] && { echo "input $crash:"; od -c "$crash" | head -20; }
    done
    exit "$status"
}
grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+ +DONE' "$work/log"
echo "corpus grew to $(ls "$work/corpus" | wc -l) inputs"

#!/usr/bin/env bash
# The long fuzzing run: hunts crashes, memory errors, undefined behaviour and stack exhaustion
# in the whole load of a file's bytes (fuzz/LoadFuzzer.cpp) for ten minutes, starting from the
# committed seed corpus. New inputs go to build/fuzz/corpus-work, crashing inputs to
# build/fuzz/artifacts. Exits non-zero when the fuzzer found a crash.
#
#   scripts/fuzz-long.sh [seconds]      default 600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}

scripts/build-fuzzer.sh

work=build/fuzz/corpus-work
artifacts=build/fuzz/artifacts
mkdir -p "$work" "$artifacts"
# The target writes and quarantines files under TMPDIR: keep that in memory, not on the disk.
scratch=$(mktemp -d /dev/shm/tarvik-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

log=build/fuzz/fuzz-long.log
status=0
TMPDIR=$scratch build/fuzz/fuzz/load_fuzzer "$work" fuzz/corpus \
    -max_total_time="$seconds" -len_control=0 -timeout=30 -rss_limit_mb=4096 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1 || status=$?
grep -E '^(#[0-9]+ +(INITED|DONE)|stat::|==[0-9]+==ERROR|SUMMARY)' "$log" || true

crashes=$(find "$artifacts" -type f | wc -l)
echo "executions: $(grep -m1 -oP 'stat::number_of_executed_units: \K[0-9]+' "$log" || echo unknown)"
echo "crash artifacts: $crashes (in $artifacts)"
exit "$status"

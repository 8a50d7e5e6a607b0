#!/usr/bin/env bash
# Replays the committed fuzz corpus (fuzz/corpus) through the libFuzzer target once, under ASan
# and UBSan: every seed (saved documents, each corrupt kind, a BOM, deep nesting) must still
# load without a crash, a sanitizer report or a broken save-and-reload round trip.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build-fuzzer.sh
scratch=$(mktemp -d /dev/shm/tarvik-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
log=build/fuzz/replay.log
if ! TMPDIR=$scratch build/fuzz/fuzz/load_fuzzer -runs=0 fuzz/corpus >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
grep -E 'INITED|^Done' "$log"
echo "fuzz corpus: $(find fuzz/corpus -type f | wc -l) inputs replayed without a crash"

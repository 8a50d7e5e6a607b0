#!/usr/bin/env bash
# The benchmark command: builds the suite in Release (build/bench) and runs it. Google Benchmark
# prints its own figures, then the program prints the table of ratios against the floors. Then
# the settings watcher's figures (tarvik_watch_bench: the cost of asking, the latency of another
# process's save, idle CPU time and wake-ups; about 3 minutes, a few seconds with --smoke).
#
#   scripts/bench.sh                 full run: 5 repetitions, randomly interleaved
#   scripts/bench.sh --smoke         build, then run every benchmark once, briefly (for CI)
#   scripts/bench.sh [flags...]      any Google Benchmark flags, e.g. --benchmark_filter=save
#
# Files are written under build/bench/bench-work (on the disk of the checkout) and /dev/shm;
# TARVIK_BENCH_DIR and TARVIK_BENCH_MEMORY_DIR choose other places.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_BENCHMARKS=ON \
    -DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_SELFTEST=OFF -DTARVIK_BUILD_EXAMPLES=OFF \
    -DTARVIK_INSTALL=OFF >/dev/null
cmake --build "$build" --target tarvik_bench tarvik_watch_bench -j 2

smoke=false
if [[ "${1:-}" == --smoke ]]; then
    shift
    smoke=true
    flags=(--benchmark_min_time=0.01 --benchmark_repetitions=1)
else
    flags=(--benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
        --benchmark_min_time=0.5)
fi

export TARVIK_BENCH_DIR="${TARVIK_BENCH_DIR:-$PWD/$build/bench-work}"
"$build/bench/tarvik_bench" "${flags[@]}" "$@"
if $smoke; then
    echo "(smoke run: a few iterations each; the ratios and verdicts above mean nothing)"
    "$build/bench/tarvik_watch_bench" --smoke
elif [[ $# -eq 0 ]]; then
    "$build/bench/tarvik_watch_bench"
fi

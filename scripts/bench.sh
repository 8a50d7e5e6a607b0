#!/usr/bin/env bash
# The benchmark command: builds the suite in Release (build/bench) and runs it. Google Benchmark
# prints its own figures, then the program prints the table of ratios against the floors.
#
#   scripts/bench.sh                 full run: 5 repetitions, randomly interleaved
#   scripts/bench.sh --smoke         build, then run every benchmark once, briefly (for CI)
#   scripts/bench.sh [flags...]      any Google Benchmark flags, e.g. --benchmark_filter=save
#
# After the benchmarks it lists the system calls of one save and one load against their floors
# (strace; skipped when strace is missing or cannot trace here).
#
# Files are written under build/bench/bench-work (on the disk of the checkout) and /dev/shm;
# TARVIK_BENCH_DIR and TARVIK_BENCH_MEMORY_DIR choose other places.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_BENCHMARKS=ON \
    -DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_SELFTEST=OFF -DTARVIK_BUILD_EXAMPLES=OFF \
    -DTARVIK_INSTALL=OFF >/dev/null
cmake --build "$build" --target tarvik_bench -j 2

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
bin="$build/bench/tarvik_bench"
"$bin" "${flags[@]}" "$@"

# The system calls of one uncontended save over an existing file and of one load, against
# their floors, from strace (the program marks where the operation begins and ends). Goal for
# the save: the floor's calls plus at most one.
callsOf() {  # <operation> <work directory>: the names of the calls, one per line
    strace -f -qq -o "$2/trace-$1" "$bin" --once="$1" "$2/$1" >/dev/null 2>&1 || return 1
    awk '/tarvik-bench-begin/ { on = 1; next } /tarvik-bench-end/ { on = 0 }
         on && /^[0-9]+ +[a-z_0-9]+\(/ { sub(/^[0-9]+ +/, ""); sub(/\(.*/, ""); print }' \
        "$2/trace-$1"
}
systemCalls() {
    if ! command -v strace >/dev/null; then
        echo "(strace is not installed: no table of system calls)"
        return
    fi
    local work layer floor extra
    mkdir -p "$TARVIK_BENCH_DIR"
    work=$(mktemp -d "$TARVIK_BENCH_DIR/strace.XXXXXX")
    echo
    echo "System calls of one operation (strace -f; uncontended, the file exists already)"
    for what in save load; do
        if ! layer=$(callsOf "$what" "$work") || ! floor=$(callsOf "floor-$what" "$work"); then
            echo "(strace could not trace the program here: no table of system calls)"
            break
        fi
        extra=$(comm -23 <(sort <<<"$layer") <(sort <<<"$floor") | tr '\n' ' ')
        local layerCount floorCount verdict=""
        layerCount=$(wc -l <<<"$layer")
        floorCount=$(wc -l <<<"$floor")
        if [[ $what == save ]]; then
            verdict="goal: floor + 1 at most, "
            verdict+=$([[ $((layerCount - floorCount)) -le 1 ]] && echo met || echo MISSED)
        fi
        printf '%-5s layer %2d calls, floor %2d, extra: %s%s\n' "$what" "$layerCount" \
            "$floorCount" "${extra:-none}" "${verdict:+ ($verdict)}"
        printf '      layer: %s\n      floor: %s\n' "$(tr '\n' ' ' <<<"$layer")" \
            "$(tr '\n' ' ' <<<"$floor")"
    done
    rm -rf "$work"
}
systemCalls
if $smoke; then
    echo "(smoke run: a few iterations each; the ratios and verdicts above mean nothing)"
fi

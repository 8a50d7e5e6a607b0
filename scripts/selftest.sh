#!/usr/bin/env bash
# Installs what the build needs, builds the native (POSIX) release of the libraries and the
# self-test program, and runs the program once: it prints its log lines on standard error and
# "all tests passed" on success. Builds in build/selftest, apart from the test presets.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake -S . -B build/selftest -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_BENCHMARKS=OFF -DTARVIK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/selftest --target atomic_persist_test
exec build/selftest/selftest/atomic_persist_test

#!/usr/bin/env bash
# Installs what the build needs, builds the native (POSIX) release, and runs the self-test
# program once: it prints its log lines on standard error and "all tests passed" on success.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake --preset native -DTARVIK_BUILD_TESTS=OFF >/dev/null
cmake --build --preset native --target atomic_persist_test
exec build/native/selftest/atomic_persist_test

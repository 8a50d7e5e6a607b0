#!/usr/bin/env bash
# The reliability evidence that fits in a few minutes: power cuts at every system call of a save
# (with the eatmydata control), 1,000 process kills with a concurrent reader, injected and real
# I/O faults in save, load and quarantine, planted scratch directories for the self-test, and a
# Python tray application beside a driver that updates and watches.
# Each part says what it hunts at its top; see docs/reliability.md for the figures.
# Builds its programs in build/rel. The hostile-input and logger suites are GoogleTest programs
# that ctest runs with every other test.
set -uo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_BUILD_EXAMPLES=OFF >/dev/null &&
    cmake --build build/rel -j2 --target tarvik_reltool tarvik_tray_driver atomic_persist_test || exit 1
tool=build/rel/tests/reliability/tarvik_reltool

status=0
part() {
    echo "--- $1"
    shift
    "$@" || status=1
}
part "power cut" scripts/test-powercut.sh "$tool"
part "process crashes with a concurrent reader" scripts/crash-soak.sh "$tool" 1000
part "injected faults" scripts/test-faults.sh "$tool"
part "planted scratch directory" scripts/test-planted-scratch.sh build/rel/selftest/atomic_persist_test
part "tray scenario" scripts/test-tray-scenario.sh build/rel/tests/reliability/tarvik_tray_driver
exit "$status"

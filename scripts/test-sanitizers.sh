#!/usr/bin/env bash
# The whole unit suite (and the reliability suite) under AddressSanitizer + UndefinedBehavior-
# Sanitizer, and under ThreadSanitizer the logger's and the save lock's concurrency tests and
# the settings watcher (its thread, stop() during a read, tarvik-config watch with its printer
# thread). Hunts memory errors, leaks, undefined behaviour (overflowing conversions, misaligned
# or null accesses) and data races that pass silently in a normal build. Any report fails the
# run.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "--- ASan + UBSan: every test"
cmake --workflow --preset asan --fresh

echo "--- TSan: the logger's and the save lock's concurrency tests, the settings watcher"
cmake --preset tsan --fresh >/dev/null
targets=(reliability_tests update_test watcher_test tarvik_config_watch_test)
if cmake --build --preset tsan --target help | grep -q '^console_logger_test:'; then
    targets+=(console_logger_test)
fi
cmake --build --preset tsan -j2 --target "${targets[@]}"
# TSan from clang 14 / gcc 12 maps its shadow memory at fixed addresses and dies with
# "unexpected memory mapping" when the kernel randomises mmap with more bits than it expects
# (vm.mmap_rnd_bits above 28 on recent kernels). Running without address-space randomisation
# (setarch -R) avoids that without touching the machine's settings.
tsan_run() {
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" setarch "$(uname -m)" -R "$@"
}
if [[ " ${targets[*]} " == *" console_logger_test "* ]]; then
    tsan_run build/tsan/tests/unit/console_logger_test --gtest_filter='*Thread*:*Concurren*'
fi
tsan_run build/tsan/tests/reliability/reliability_tests --gtest_filter='LoggerConcurrency.*'
# The programs these start (tarvik-config) are TSan builds too: a report there fails the test.
tsan_run build/tsan/tools/tarvik-config/watcher_test
tsan_run build/tsan/tools/tarvik-config/tarvik_config_watch_test
# The lock's waiter thread and its hand-over to waiting callers, and updates from four threads.
tsan_run build/tsan/tests/unit/update_test \
    --gtest_filter='*Lock*:*Wait*:*Holder*:*Inside*:*Concurrent*'

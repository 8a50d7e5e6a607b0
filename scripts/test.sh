#!/usr/bin/env bash
# The test command: installs what is missing (Debian 12 packages), then builds and runs every
# test. Each step prints its own results; the last line counts the steps that passed and failed.
# A failed step does not stop the others; the exit status is non-zero if any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1

passed=0
failed=0
failures=()

step() {
    local name=$1
    shift
    echo
    echo "=== ${name}: $*"
    local started=$SECONDS
    if "$@"; then
        passed=$((passed + 1))
        echo "=== ${name}: passed in $((SECONDS - started)) s"
    else
        failed=$((failed + 1))
        failures+=("$name")
        echo "=== ${name}: FAILED after $((SECONDS - started)) s"
    fi
}

step native cmake --workflow --preset native --fresh
step selftest-blackbox tests/selftest_blackbox.sh build/native/selftest/atomic_persist_test
step consumers scripts/test-consumers.sh
step format scripts/check-format.sh
step bench-smoke scripts/bench.sh --smoke
step sanitizers scripts/test-sanitizers.sh
step fuzz-corpus scripts/fuzz-replay.sh
step reliability scripts/test-reliability.sh
step static-analysis scripts/static-analysis.sh
step windows scripts/test-windows.sh
# --- more steps above this line ---

echo
if ((failed > 0)); then
    echo "failed steps: ${failures[*]}"
fi
echo "steps: ${passed} passed, ${failed} failed"
((failed == 0))

#!/usr/bin/env bash
# Runs the self-test program as a black box, with TMPDIR pointing at a private directory, and
# checks what it promises from the outside: the exact success line and status, no scratch
# directory left after a pass, a stale config.json that does not spoil the next run, and the
# exact FAIL line, status 1 and silent standard output when the first save cannot succeed.
#
#   tests/selftest_blackbox.sh build/native/selftest/atomic_persist_test
set -uo pipefail

program=${1:?usage: $0 <path to atomic_persist_test>}
if [[ ! -x $program ]]; then
    echo "not executable: $program" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik_blackbox.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
scratch=$work/tmp/tarvik_p8_atomic_persist_test
failures=0

# run: executes the program once; sets $status and leaves its output in $work/out and $work/err.
run() {
    mkdir -p "$work/tmp"
    TMPDIR=$work/tmp "$program" >"$work/out" 2>"$work/err"
    status=$?
}

# check <description> <command...>: reports one expectation.
check() {
    local description=$1
    shift
    if "$@"; then
        echo "ok - $description"
    else
        echo "not ok - $description"
        echo "  status: $status; stdout: '$(cat "$work/out")'; stderr:" >&2
        sed 's/^/    /' "$work/err" >&2
        failures=$((failures + 1))
    fi
}

passed_exactly() { [[ $status -eq 0 ]] && cmp -s "$work/out" <(printf 'all tests passed\n'); }

# Standard error without the log lines, which start with "[HH:MM:SS.mmm] [".
non_log_stderr() { grep -Ev '^\[[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\] \[' "$work/err"; }

run
check "clean run prints exactly 'all tests passed' and exits 0" passed_exactly
check "clean run leaves no scratch directory" test ! -e "$scratch"

mkdir -p "$scratch"
printf 'stale' >"$scratch/config.json"
run
check "stale config.json is removed and the run passes" passed_exactly
check "passing run after a stale file leaves no scratch directory" test ! -e "$scratch"

mkdir -p "$scratch/config.json.tmp"
run
check "directory at config.json.tmp: exit status 1" test "$status" -eq 1
check "directory at config.json.tmp: nothing on standard output" test ! -s "$work/out"
check "directory at config.json.tmp: the check at line 36 fails" \
    test "$(non_log_stderr)" = "FAIL: tvd::saveConfigJson(cfgPath, cfg1) at line 36"
check "failed run leaves the scratch directory for inspection" test -d "$scratch"

if ((failures > 0)); then
    echo "$failures black-box check(s) failed" >&2
    exit 1
fi
echo "all black-box checks passed"

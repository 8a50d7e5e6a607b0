#!/usr/bin/env bash
# The self-test's scratch directory lies in a shared temporary directory under a fixed name, so
# another local user can plant it before the run. Hunts a self-test that follows what was
# planted and writes, chmods or deletes the runner's own files. Each planted variant (made by
# another user, uid 65534, through setpriv) must end the program with an "error: " line and
# status 2 and leave everything as it was; the runner's own stale directory must still pass.
#
#   scripts/test-planted-scratch.sh <path to atomic_persist_test>
# Needs root (to play the other user).
set -euo pipefail

selftest=$(realpath "$1")
((EUID == 0)) || {
    echo "SKIP: needs root to play another user with setpriv"
    exit 0
}
other=(setpriv --reuid=65534 --regid=65534 --clear-groups)

work=$(mktemp -d /dev/shm/tarvik-planted.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
# Plays /tmp: world-writable, but without the sticky bit, so that the kernel's own
# fs.protected_symlinks rule (which applies only in sticky directories) cannot hide a program
# that follows a planted link.
shared=$work/tmp
mkdir -m 777 "$shared"
scratch=$shared/tarvik_p8_atomic_persist_test
runner=$work/runner         # the runner's own files, which a planted link points at
passed=0
failed=0

reset_runner() {
    rm -rf "$runner" "$scratch"
    mkdir -m 755 "$runner"
    printf 'the runner'"'"'s own settings' >"$runner/config.json"
    chmod 640 "$runner/config.json"
}
# Everything that must not change: names, kinds, modes, owners, sizes and contents.
snapshot() {
    (cd "$work" && find runner tmp -printf '%p %y %m %u %s %l\n' | sort &&
        find runner tmp -type f -exec sha256sum {} + | sort)
}

# expect_refused <label>: the program must say "error: ...", exit 2 and touch nothing.
expect_refused() {
    local label=$1 before after status=0
    before=$(snapshot)
    TMPDIR=$shared "$selftest" >"$work/out" 2>"$work/err" || status=$?
    after=$(snapshot)
    local problems=()
    ((status == 2)) || problems+=("status $status")
    grep -q '^error: ' "$work/err" || problems+=("no 'error: ' line: $(cat "$work/err")")
    [[ ! -s "$work/out" ]] || problems+=("standard output: $(cat "$work/out")")
    [[ "$before" == "$after" ]] || problems+=("files changed: $(diff <(echo "$before") <(echo "$after") | tr '\n' ' ')")
    if ((${#problems[@]} == 0)); then
        passed=$((passed + 1))
        echo "  ok: $label: $(grep '^error: ' "$work/err"), status 2, nothing touched"
    else
        failed=$((failed + 1))
        echo "  FAIL: $label: ${problems[*]}"
    fi
}

reset_runner
"${other[@]}" ln -s "$runner" "$scratch"
expect_refused "symbolic link to the runner's directory"

reset_runner
"${other[@]}" ln -s "$runner/config.json" "$scratch"
expect_refused "symbolic link to the runner's file"

reset_runner
"${other[@]}" ln -s "$runner/not-yet" "$scratch"
expect_refused "dangling symbolic link (it must not be created through)"

reset_runner
"${other[@]}" mkdir -m 777 "$scratch"
"${other[@]}" ln -s "$runner/config.json" "$scratch/config.json.tmp"
expect_refused "another user's directory with a symbolic link at config.json.tmp"

reset_runner
"${other[@]}" mkdir -m 777 "$scratch"
expect_refused "another user's empty directory"

# The runner's own directory left by an earlier failed run, open to everyone: claimed and used.
reset_runner
mkdir -m 777 "$scratch"
status=0
TMPDIR=$shared "$selftest" >"$work/out" 2>"$work/err" || status=$?
if ((status == 0)) && grep -qx 'all tests passed' "$work/out" && [[ ! -e "$scratch" ]]; then
    passed=$((passed + 1))
    echo "  ok: the runner's own stale directory: all tests passed, status 0, directory removed"
else
    failed=$((failed + 1))
    echo "  FAIL: the runner's own stale directory: status $status, $(cat "$work/out" "$work/err")"
fi

echo "planted scratch directory: $passed cases passed, $failed failed"
((failed == 0))

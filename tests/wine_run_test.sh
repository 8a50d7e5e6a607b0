#!/usr/bin/env bash
# Hunts a launcher whose repeat hides more than Wine's start-up failure: cmake/wine-run.sh may
# start a program a second time only when Wine lost its server before the program's first
# thread existed ("wine client error:0:" on standard error); any other failure, and a second
# such failure, must be returned as they are, with the program's error output passed on. A fake
# Wine loader stands in for the real one.
#
#   wine_run_test.sh <cmake/wine-run.sh>
set -uo pipefail

launcher=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik_wine_run.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/prefix"  # an existing prefix: no wineboot -i

# The fake loader: each start appends a line to $work/starts, then behaves as told by the
# line of $work/script that has the number of this start (glitch, fail or pass).
cat >"$work/wine64" <<'FAKE'
#!/usr/bin/env bash
echo start >>"$FAKE_DIR/starts"
case $(sed -n "$(wc -l <"$FAKE_DIR/starts")p" "$FAKE_DIR/script") in
glitch) echo "wine client error:0: recvmsg: Connection reset by peer" >&2; exit 1 ;;
later) echo "wine client error:2c: recvmsg: Connection reset by peer" >&2; exit 1 ;;
fail) echo "own failure" >&2; exit 3 ;;
*) echo "ran $*"; exit 0 ;;
esac
FAKE
chmod +x "$work/wine64"

failures=0
# check <label> <script lines> <expected status> <expected starts>
check() {
    local label=$1 script=$2 want_status=$3 want_starts=$4 status starts
    printf '%s\n' $script >"$work/script"
    : >"$work/starts"
    status=0
    FAKE_DIR=$work TARVIK_WINE=$work/wine64 WINEPREFIX=$work/prefix \
        "$launcher" program.exe arg >"$work/out" 2>"$work/err" || status=$?
    starts=$(wc -l <"$work/starts")
    if [[ $status != "$want_status" || $starts != "$want_starts" ]]; then
        echo "FAIL: $label: status $status after $starts start(s); expected $want_status after $want_starts"
        sed 's/^/  stderr: /' "$work/err"
        failures=$((failures + 1))
    else
        echo "ok: $label"
    fi
}

check "a program that runs is started once" "pass" 0 1
check "a failure of the program's own is returned, not repeated" "fail pass" 3 1
check "a start that Wine lost is tried once more" "glitch pass" 0 2
check "a connection lost later is the program's failure" "later pass" 1 1
check "two lost starts fail" "glitch glitch pass" 1 2
check "the error output is passed on" "fail" 3 1
grep -q '^own failure$' "$work/err" || { echo "FAIL: the program's error output was not passed on"; failures=$((failures + 1)); }
TARVIK_WINE_EXEC=1 check "TARVIK_WINE_EXEC leaves a lost start to the caller" "glitch pass" 1 1

((failures == 0))

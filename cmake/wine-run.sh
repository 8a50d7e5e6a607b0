#!/bin/bash
# Runs one Windows program under Wine: the cross build's CMAKE_CROSSCOMPILING_EMULATOR, used by
# ctest and by GoogleTest's test discovery.
#
#   wine-run.sh <program.exe> [arguments...]
#
# Now and then Wine loses its connection to the wineserver as a program starts, before the
# program's first thread exists: the process ends with "wine client error:0: recvmsg:
# Connection reset by peer" on standard error, having run none of its own code. Such a start,
# and only such a start, is tried once more; the program's standard error is passed on as it
# comes (and kept aside to recognise that line). Every other failure is the program's own and
# is returned as it is. With TARVIK_WINE_EXEC=1 the program replaces this script instead (its
# process id is then the one the caller started, for a caller that kills it), and the caller
# must recognise that start-up failure itself.
#
# Every test is its own Wine process. Left alone, the first program of a Wine session starts
# the wineserver and Wine's services, which inherit its standard output; ctest then waits
# until they end (3 s after the program) before the test counts as finished, and the next
# test starts them all again. So a call that finds no server starts one that stays up for
# 60 s after its last client, with the services, detached from ctest's pipes; every later
# call finds them running and costs only its own program.
#
# WINEPREFIX chooses the prefix (the test preset puts a fresh one under the build directory);
# Wine's debug chatter is off unless WINEDEBUG says otherwise; TARVIK_WINE overrides the
# loader. No display is needed, and no particular locale: see below.
set -eu

wine=${TARVIK_WINE:-}
if [ -z "$wine" ]; then
    for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            wine=$candidate
            break
        fi
    done
fi
if [ -z "$wine" ]; then
    echo "wine-run.sh: no wine64 found (Debian: apt-get install wine64)" >&2
    exit 127
fi

WINEDEBUG=${WINEDEBUG:--all}
export WINEDEBUG

# Wine stores Windows file names in the Unix locale's character set. In the C or POSIX locale
# (what a container, a cron job or `env -i` gives) a name outside ASCII has no form, so the
# program cannot create it. A caller's UTF-8 locale is kept; anything else becomes C.UTF-8,
# which glibc always provides. The wineserver started below inherits it.
if [ "$(locale charmap 2>/dev/null)" != "UTF-8" ]; then
    LC_ALL=C.UTF-8
    export LC_ALL
fi

prefix=${WINEPREFIX:-${HOME:-/root}/.wine}
if [ ! -d "$prefix" ]; then
    # A new prefix is set up once, here, rather than inside the first test's time limit.
    "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
fi

# Output of the server and the services is not ours to pass on: a daemon that inherited
# ctest's pipe would keep ctest waiting for the end of the test's output until it exits.
server=$(dirname "$wine")/wineserver
if [ -x "$server" ] && "$server" -p60 </dev/null >/dev/null 2>&1; then
    # A new server: bring up Wine's services now, away from the test's output, instead of
    # letting the test program start them with its own standard output.
    "$wine" wineboot </dev/null >/dev/null 2>&1 || true
fi
if [ "${TARVIK_WINE_EXEC:-}" = 1 ]; then
    exec "$wine" "$@"
fi

errors=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$errors"' EXIT
for attempt in 1 2; do
    # Standard output goes straight on (descriptor 3); standard error through tee.
    { "$wine" "$@" 2>&1 >&3 3>&- | tee "$errors" >&2 3>&-; status=${PIPESTATUS[0]}; } 3>&1
    if [ "$status" -eq 0 ] || [ "$attempt" -eq 2 ] || ! grep -q '^wine client error:0: ' "$errors"; then
        exit "$status"
    fi
    echo "wine-run.sh: Wine lost the wineserver before $1 could start; starting it once more" >&2
done

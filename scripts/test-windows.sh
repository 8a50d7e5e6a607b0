#!/usr/bin/env bash
# The Windows build and its tests: cross-compiles with MinGW-w64 (static, no DLLs to find) and
# runs the whole unit suite, the Windows-only tests and the self-test program under Wine, in a
# fresh Wine prefix under the build directory. Needs Debian's g++-mingw-w64-x86-64-posix and
# wine64 (scripts/install-deps.sh); no display, no 32-bit Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in x86_64-w64-mingw32-g++-posix cmake ninja; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool not found (scripts/install-deps.sh)" >&2; exit 1; }
done
wineserver=/usr/lib/wine/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || true)
[[ -n $wineserver ]] || { echo "FAIL: wine64 not found (scripts/install-deps.sh)" >&2; exit 1; }

# The same prefix as the mingw test preset, so that ctest and this script agree.
export WINEPREFIX="$PWD/build/mingw/wineprefix"
export WINEDEBUG=-all
# Every Windows program, and so the wineserver, is started through cmake/wine-run.sh, which
# gives Wine a UTF-8 locale whatever the caller's is.

# Ends the wineserver of this prefix and everything running in it (all started by this build's
# tests); the tests' launcher keeps the server up for a minute after the last program.
stop_wine() {
    if [[ -d $WINEPREFIX ]]; then
        "$wineserver" -k >/dev/null 2>&1 || true
    fi
}

stop_wine
rm -rf "$WINEPREFIX"
trap stop_wine EXIT

# Configured twice before the build, as an edited CMakeLists file makes CMake do: the second
# configure must give the same build (it once took the build machine's /usr/include).
cmake --preset mingw --fresh
cmake --preset mingw
cmake --build --preset mingw
ctest --preset mingw

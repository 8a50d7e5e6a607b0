#!/usr/bin/env bash
# Builds the consumer projects of tests/consumer the way another project takes the library in,
# for Linux and for Windows (MinGW-w64 cross build, run under Wine), and runs them:
#   installed     the README's install command (the `release` preset, `cmake --install
#                 --component development`) into a temporary prefix, with GoogleTest and
#                 Google Benchmark made unfindable; the prefix must hold the libraries, their
#                 headers and their CMake package and nothing else; the build tree is deleted,
#                 then a project that has only find_package(tarvik_config CONFIG REQUIRED) and
#                 CMAKE_PREFIX_PATH to go on is built against it;
#   subdirectory  a project that pulls the checkout in with add_subdirectory; on Linux it
#                 defines nlohmann_json::nlohmann_json itself and has no package to find; its
#                 install must not carry the library (TARVIK_INSTALL is off for a subproject);
#   makefile      a plain Makefile that finds the installed library through pkg-config alone
#                 (tarvik_config.pc).
# Every consumer puts a config/Config.h and a common/Logging.h of its own first on the driver's
# include path (tests/consumer/shadow) and includes the library as <tarvik/config/ConfigFile.h>:
# the library's headers must not pick up the consumer's files, and nothing but the public
# headers may be on the consumer's include path (driver.cpp checks both as it compiles). The
# cross builds (the library's install build and the CMake consumers) are configured twice before
# they build, as any edit of a CMakeLists file makes CMake do: the second configure must give
# the same build. The installed package and tarvik_config.pc must carry the version of the
# newest heading of CHANGELOG.md, and the release preset must build the libraries alone.
# Each consumer builds two driver modules (a .so, or a DLL) that link tarvik::config and a
# host that loads them at run time (dlopen with RTLD_GLOBAL, or LoadLibraryW) and has the
# first save and load a config.json under a non-ASCII directory, then checks that each driver
# logs through its own logger slot; last, the second driver watches the file, reports the host's
# change, stops its watcher and is unloaded (dlclose / FreeLibrary), leaving no thread behind.
# The load of the missing file must log its INFO line through the console logger that the
# library installs by itself. A driver .so must export no
# symbol of the library (nm -D); a driver DLL must import nothing but Windows' own DLLs
# (objdump -p).
#
# Fails if any step fails. Everything happens in one temporary directory, removed at the end
# (kept when KEEP=1, for a look at what went wrong). The Windows half needs
# g++-mingw-w64-x86-64-posix and wine64; WINDOWS=0 skips it.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-consumers.XXXXXX")
# A Wine prefix of this run's own; its server is stopped at the end.
export WINEPREFIX=$work/wineprefix
export WINEDEBUG=-all
wineserver=/usr/lib/wine/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || echo false)
cleanup() {
    if [[ -d $WINEPREFIX ]]; then
        "$wineserver" -k >/dev/null 2>&1 || true
    fi
    if [[ "${KEEP:-0}" == 1 ]]; then
        echo "kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

jobs=${JOBS:-2}
toolchain=$repo/cmake/mingw-w64.cmake
# The non-ASCII directory that the host saves under (host.cpp), as UTF-8 bytes: bash would
# render \u escapes in the caller's locale, which may not be UTF-8.
settings_dir_name=$'Einstellungen-\xc3\xa4\xc3\xb6\xc3\xbc-\xe8\xa8\xad\xe5\xae\x9a'

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The version of the newest heading of CHANGELOG.md ("## 0.2.0 - <date>").
changelog_version=$(grep -m 1 -oE '^## [0-9]+\.[0-9]+\.[0-9]+' CHANGELOG.md | cut -c 4-)
[[ -n $changelog_version ]] || { echo "FAIL: CHANGELOG.md names no version" >&2; exit 1; }

# install_library <build dir> <prefix> [configure arguments...]: the README's install command.
install_library() {
    local build=$1 prefix=$2
    shift 2
    # As on a machine with only the build packages: GoogleTest and Benchmark cannot be found.
    # Configured twice, as an edited CMakeLists file makes CMake do.
    local configure
    for configure in first second; do
        cmake --preset release -B "$build" "$@" --no-warn-unused-cli \
            -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
            >"$build.$configure.log" || { cat "$build.$configure.log"; fail "configuring $build ($configure time)"; }
    done
    cmake --build "$build" -j "$jobs"
    # The release preset builds the libraries alone.
    local programs
    programs=$(find "$build" -type f \( -name 'tarvik-config*' -o -name 'atomic_persist_test*' \
        -o -name 'driver_startup*' \) ! -name '*.d' ! -path '*/CMakeFiles/*' -print)
    [[ -z $programs ]] || fail "the release preset built programs: $programs"
    cmake --install "$build" --prefix "$prefix" --component development >/dev/null
    # Nothing may point back into the build tree: a consumer only has the prefix.
    rm -rf "$build"
}

# check_layout <prefix>: the libraries, the public headers and the package files, nothing else.
check_layout() {
    local prefix=$1 system=${2:-linux} config_dir libdir
    config_dir=$(find "$prefix" -name tarvik_configConfig.cmake -printf '%h\n' | head -n 1)
    [[ -n "$config_dir" ]] || fail "no tarvik_configConfig.cmake under $prefix"
    libdir=${config_dir#"$prefix"/}
    libdir=${libdir%/cmake/tarvik_config}
    local expected
    expected=$(printf '%s\n' \
        include/tarvik/common/ConsoleLogger.h include/tarvik/common/Logging.h \
        include/tarvik/config/Config.h include/tarvik/config/ConfigFile.h \
        include/tarvik/config/ConfigCheck.h include/tarvik/config/ConfigKeys.h \
        include/tarvik/config/ConfigWatcher.h \
        "$libdir"/pkgconfig/tarvik_config.pc \
        "$libdir"/libtarvik_common.a "$libdir"/libtarvik_config.a "$libdir"/libtarvik_platform.a \
        "$libdir"/cmake/tarvik_config/TarvikJsonHeaders.cmake \
        "$libdir"/cmake/tarvik_config/tarvik_configConfig.cmake \
        "$libdir"/cmake/tarvik_config/tarvik_configConfigVersion.cmake \
        "$libdir"/cmake/tarvik_config/tarvik_configTargets-release.cmake \
        "$libdir"/cmake/tarvik_config/tarvik_configTargets.cmake \
        include/tarvik/tvc.h "$libdir"/pkgconfig/tarvik_config_c.pc \
        $(if [[ $system == windows ]]; then
            echo bin/tarvik_config_c.dll "$libdir"/libtarvik_config_c.dll.a
        else
            echo "$libdir"/libtarvik_config_c.so "$libdir"/libtarvik_config_c.so.0 \
                "$libdir/libtarvik_config_c.so.$changelog_version"
        fi) | sort)
    local actual
    actual=$(cd "$prefix" && find . -mindepth 1 ! -type d -printf '%P\n' | sort)
    if [[ "$actual" != "$expected" ]]; then
        diff <(echo "$expected") <(echo "$actual") >&2 || true
        fail "the install into $prefix differs from the libraries, headers and package (< expected, > installed)"
    fi
    # The public headers must include only each other and the standard and JSON libraries.
    if grep -n '#include "platform/' -r "$prefix/include/tarvik"; then
        fail "an installed header includes an internal platform header"
    fi
    # The public headers reach each other by relative names only, so that no consumer's file
    # of the same name can stand in for one of them.
    if grep -nE '#include "(config|common)/' -r "$prefix/include/tarvik"; then
        fail "an installed header includes another by a name that a consumer's file can shadow"
    fi
    local package_version pc_version
    package_version=$(sed -nE 's/^set\(PACKAGE_VERSION "([^"]*)"\)$/\1/p' \
        "$prefix/$libdir/cmake/tarvik_config/tarvik_configConfigVersion.cmake")
    pc_version=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --modversion tarvik_config)
    [[ $package_version == "$changelog_version" && $pc_version == "$changelog_version" ]] ||
        fail "versions differ: CHANGELOG.md $changelog_version, package $package_version, pkg-config $pc_version"
    echo "installed: $(echo "$actual" | wc -l) files, the libraries, their headers and packages only, version $changelog_version"
}

# configure_installed <build dir> <prefix> [configure arguments...]: configured twice; the
# second log is the one checked.
configure_installed() {
    local build=$1 prefix=$2
    shift 2
    local configure
    for configure in first second; do
        cmake -S tests/consumer/installed -B "$build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
            -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF "$@" \
            >"$build.log" || { cat "$build.log"; fail "configuring the consumer of $prefix ($configure time)"; }
    done
    grep -q "tarvik_config $changelog_version from $prefix/" "$build.log" ||
        { cat "$build.log"; fail "find_package did not take version $changelog_version from $prefix"; }
    grep 'nlohmann_json headers from' "$build.log"
}

# check_cross_json <build dir>: the build machine's /usr/include would shadow the target's C
# library headers, so a cross build must get the nlohmann headers from somewhere else.
check_cross_json() {
    if grep 'nlohmann_json headers from' "$1.log" | grep -Eq '(from |;)/usr/include(;|$)'; then
        fail "the cross-building consumer got the build machine's /usr/include for nlohmann_json"
    fi
}

# configure_subdirectory <build dir> [configure arguments...]: configured twice.
configure_subdirectory() {
    local build=$1 configure
    shift
    for configure in first second; do
        cmake -S tests/consumer/subdirectory -B "$build" -G Ninja -DTARVIK_SOURCE_DIR="$repo" "$@" \
            >"$build.log" || { cat "$build.log"; fail "configuring the subdirectory consumer ($configure time)"; }
    done
}

# check_subdirectory_install <build dir>: the consumer installs nothing of its own, and a
# subproject adds nothing of the library to its install.
check_subdirectory_install() {
    local build=$1 installed
    cmake --install "$build" --prefix "$build-install" >/dev/null
    installed=$(find "$build-install" ! -type d -print 2>/dev/null || true)
    [[ -z $installed ]] || fail "the subdirectory consumer's install carries the library: $installed"
}

# build_makefile <output dir> [make arguments...]: the plain Makefile consumer (pkg-config).
build_makefile() {
    local out=$1
    shift
    mkdir -p "$out"
    make -s -f "$repo/tests/consumer/makefile/Makefile" OUT="$out" -j "$jobs" "$@"
}

build_consumer() {
    local build=$1
    cmake --build "$build" -j "$jobs"
    # As a subproject the library builds only itself: no tests, self-test, examples or C
    # interface.
    if [[ -d "$build/tarvik_config" ]]; then
        for target in atomic_persist_test driver_startup libtarvik_config_c tarvik_config_c.dll; do
            if [[ -n "$(find "$build/tarvik_config" -type f -name "$target*")" ]]; then
                fail "$target was built although the library is not the top-level project"
            fi
        done
    fi
}

# run_host <label> <run directory> <command...>: runs the host and checks what it left.
run_host() {
    local label=$1 run=$2
    shift 2
    local status=0
    "$@" >"$run.out" 2>"$run.err" || status=$?
    cat "$run.out" "$run.err"
    ((status == 0)) || fail "$label: the host exited with status $status"
    grep -Eq '^\[[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\] \[INFO\] No config file at ' "$run.err" ||
        fail "$label: no INFO line from the console logger that the library installs by itself"
    [[ -f "$run/$settings_dir_name/config.json" ]] ||
        fail "$label: no config.json in the non-ASCII directory: $(ls -A "$run" 2>&1)"
}

run_linux() {
    local label=$1 build=$2
    # The library's symbols stay inside the driver: only the driver's four functions remain.
    local exported
    exported=$(nm -D --defined-only "$build/driver_a.so" | awk '{ print $NF }')
    if grep -i tarvik <<<"$exported"; then
        fail "$label: driver_a.so exports symbols of the library (above)"
    fi
    echo "driver_a.so exports $(wc -l <<<"$exported") symbols, none of the library's"
    mkdir -p "$work/run-$label"
    run_host "$label" "$work/run-$label" \
        "$build/host" "$build/driver_a.so" "$build/driver_b.so" "$work/run-$label"
}

# A Windows program's view of a file of ours: drive Z: is the root of the Unix file system.
windows_path() {
    echo "Z:${1//\//\\}"
}

run_windows() {
    local label=$1 build=$2 dll
    for dll in "$build/driver_a.dll" "$build/driver_b.dll"; do
        local imports
        imports=$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/DLL Name:/ { print $3 }')
        echo "$(basename "$dll") imports: $(echo $imports)"
        while read -r import; do
            case "${import,,}" in
                kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | shell32.dll | ntdll.dll) ;;
                ucrtbase.dll | api-ms-win-*.dll) ;;
                *) fail "$label: $(basename "$dll") imports $import, which is not one of Windows' own DLLs" ;;
            esac
        done <<<"$imports"
    done
    mkdir -p "$work/run-$label"
    run_host "$label" "$work/run-$label" "$repo/cmake/wine-run.sh" "$build/host.exe" \
        "$(windows_path "$build/driver_a.dll")" "$(windows_path "$build/driver_b.dll")" \
        "$(windows_path "$work/run-$label")"
}

echo "--- Linux: the README's install command into $work/prefix"
install_library "$work/library" "$work/prefix"
check_layout "$work/prefix"

echo "--- Linux: consumer of the installed package"
configure_installed "$work/installed" "$work/prefix"
build_consumer "$work/installed"
run_linux installed "$work/installed"

echo "--- Linux: add_subdirectory, with the consumer's own nlohmann_json target"
configure_subdirectory "$work/subdirectory" -DCONSUMER_OWN_JSON=ON
build_consumer "$work/subdirectory"
run_linux subdirectory "$work/subdirectory"
check_subdirectory_install "$work/subdirectory"

echo "--- Linux: a Makefile consumer of the installed library, through pkg-config"
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" build_makefile "$work/makefile"
run_linux makefile "$work/makefile"

echo "--- Linux: a C program on the installed C interface, through pkg-config"
pkg_c_flags=$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs tarvik_config_c)
# shellcheck disable=SC2086 # the flags are words
cc -std=c99 -Wall -Wextra -Wpedantic -Werror tests/consumer/c_consumer.c $pkg_c_flags \
    -o "$work/c_consumer" || fail "the C consumer did not build with pkg-config's flags"
LD_LIBRARY_PATH="$work/prefix/lib" "$work/c_consumer" | grep -qx "tarvik_config_c $changelog_version" ||
    fail "the C consumer did not get version $changelog_version from the installed library"
echo "the C consumer runs on libtarvik_config_c.so.$changelog_version"

if [[ "${WINDOWS:-1}" == 0 ]]; then
    echo "consumers: Linux passed; Windows skipped (WINDOWS=0)"
    exit 0
fi
command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
    fail "x86_64-w64-mingw32-g++-posix not found (scripts/install-deps.sh; WINDOWS=0 skips)"

echo "--- Windows: the README's install command, cross-compiled, into $work/prefix-mingw"
install_library "$work/library-mingw" "$work/prefix-mingw" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
check_layout "$work/prefix-mingw" windows

echo "--- Windows: consumer of the installed package"
configure_installed "$work/installed-mingw" "$work/prefix-mingw" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
check_cross_json "$work/installed-mingw"
build_consumer "$work/installed-mingw"
run_windows installed-mingw "$work/installed-mingw"

echo "--- Windows: add_subdirectory"
configure_subdirectory "$work/subdirectory-mingw" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
build_consumer "$work/subdirectory-mingw"
run_windows subdirectory-mingw "$work/subdirectory-mingw"
check_subdirectory_install "$work/subdirectory-mingw"

echo "--- Windows: a Makefile consumer of the installed library, through pkg-config"
# Only the Windows prefix's .pc files; the nlohmann headers (header-only, no .pc in the MinGW
# root) are named by the consumer, without the build machine's /usr/include.
mkdir -p "$work/json-include"
ln -sfn /usr/include/nlohmann "$work/json-include/nlohmann"
PKG_CONFIG_LIBDIR="$work/prefix-mingw/lib/pkgconfig" build_makefile "$work/makefile-mingw" \
    WINDOWS=1 CXX=x86_64-w64-mingw32-g++-posix JSON_CFLAGS="-I$work/json-include"
run_windows makefile-mingw "$work/makefile-mingw"

echo "consumers: installed package, add_subdirectory and pkg-config passed, for Linux and for Windows"

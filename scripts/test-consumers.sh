#!/usr/bin/env bash
# Builds the two consumer projects of tests/consumer the way another project would take the
# library in, and runs them:
#   1. installed: configure and build the library alone, `cmake --install` it into a temporary
#      prefix, delete its build tree, then build a project that only has
#      find_package(tarvik_config CONFIG REQUIRED) to go on;
#   2. subdirectory: build a project that pulls the checkout in with add_subdirectory.
# Each consumer links the library into a shared library, as a driver does, and its host
# program has it save and load a config.json under an absolute temporary path. Fails if any
# step fails. Everything happens in one temporary directory, removed at the end (kept when
# KEEP=1, for a look at what went wrong).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-consumers.XXXXXX")
cleanup() {
    if [[ "${KEEP:-0}" == 1 ]]; then
        echo "kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

generator=()
if command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
jobs=${JOBS:-2}
prefix=$work/prefix

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

echo "--- library: configure, build, install into $prefix"
cmake -S "$repo" -B "$work/library" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_SELFTEST=OFF -DTARVIK_BUILD_EXAMPLES=OFF
cmake --build "$work/library" -j "$jobs"
cmake --install "$work/library"
# Nothing may point back into the build tree: a consumer only has the prefix.
rm -rf "$work/library"

echo "--- installed layout"
for file in include/tarvik/common/Logging.h include/tarvik/common/ConsoleLogger.h \
    include/tarvik/config/Config.h include/tarvik/config/ConfigFile.h; do
    [[ -f "$prefix/$file" ]] || fail "not installed: $file"
done
config_dir=$(find "$prefix" -name tarvik_configConfig.cmake -printf '%h\n' | head -n 1)
[[ -n "$config_dir" ]] || fail "no tarvik_configConfig.cmake under $prefix"
[[ -f "$config_dir/tarvik_configConfigVersion.cmake" ]] || fail "no version file in $config_dir"
[[ ! -e "$prefix/include/tarvik/platform" ]] || fail "the internal platform headers were installed"
# The public headers must include only each other and the standard and JSON libraries.
if grep -n '#include "platform/' -r "$prefix/include/tarvik"; then
    fail "an installed header includes an internal platform header"
fi

echo "--- consumer of the installed package"
cmake -S tests/consumer/installed -B "$work/installed" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF |
    tee "$work/installed.log"
grep -q "tarvik_config .* from $config_dir" "$work/installed.log" ||
    fail "find_package did not take the package from $prefix"
cmake --build "$work/installed" -j "$jobs"
"$work/installed/consumer" "$work/run-installed/settings/config.json"

echo "--- consumer that uses add_subdirectory"
cmake -S tests/consumer/subdirectory -B "$work/subdirectory" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=Release -DTARVIK_SOURCE_DIR="$repo"
cmake --build "$work/subdirectory" -j "$jobs"
# As a subproject the library builds only itself: no tests, self-test or examples.
for target in atomic_persist_test driver_startup; do
    if [[ -n "$(find "$work/subdirectory/tarvik_config" -type f -name "$target*" -perm -u+x)" ]]; then
        fail "$target was built although the library is not the top-level project"
    fi
done
"$work/subdirectory/consumer" "$work/run-subdirectory/settings/config.json"

echo "consumers: installed package and add_subdirectory both passed"

#!/usr/bin/env bash
# Installs, from Debian 12's packages, what the build and the tests need. Safe to rerun: only
# missing packages are installed. Needs root (CI and the quick start run as root).
#
#   scripts/install-deps.sh          everything: build, every test, Windows build, harness
#   scripts/install-deps.sh build    only what builds the libraries and the self-test program
set -euo pipefail

build_packages=(g++ cmake ninja-build make pkg-config nlohmann-json3-dev)
packages=(
    "${build_packages[@]}" git ca-certificates
    # tests, sanitizers, analysis
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    clang clang-tidy clang-format cppcheck libclang-rt-14-dev llvm
    # Windows build, run under Wine
    g++-mingw-w64-x86-64-posix wine64
    # the bindings of the C interface: Python (ctypes) and C#, built and run with Mono; Python
    # is also the tray scenario's tray application
    python3 mono-mcs mono-runtime
    # editors among the writers the watcher is tested against
    vim-tiny
    # fault injection, crash and power-cut harness
    strace fiu-utils libfiu-dev xfsprogs e2fsprogs eatmydata util-linux mount procps
)

if [[ "${1:-all}" == build ]]; then
    packages=("${build_packages[@]}")
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

if ((${#missing[@]} > 0)); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

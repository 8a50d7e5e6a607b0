#!/usr/bin/env bash
# Configures and builds the libFuzzer target in build/fuzz with clang: the libraries are built
# with -fsanitize=fuzzer-no-link,address,undefined, the target links libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVIK_BUILD_FUZZ=ON -DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_SELFTEST=OFF \
    -DTARVIK_BUILD_EXAMPLES=OFF -DTARVIK_INSTALL=OFF \
    "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    >/dev/null
cmake --build build/fuzz -j2 --target load_fuzzer

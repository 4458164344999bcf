#!/usr/bin/env bash
# Configures and builds the libFuzzer targets in build-fuzz (clang 14; the library is built for
# coverage with AddressSanitizer + UndefinedBehaviorSanitizer, the targets link libFuzzer).
set -euo pipefail
cd "$(dirname "$0")/.."
SAN="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -gline-tables-only"
if [ ! -f build-fuzz/CMakeCache.txt ]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVMPEEK_FUZZ=ON -DVMPEEK_TESTS=OFF \
    -DCMAKE_C_FLAGS="$SAN" -DCMAKE_CXX_FLAGS="$SAN" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
fi
nice cmake --build build-fuzz --target fuzz_all -j"${FUZZ_JOBS:-2}" "$@"

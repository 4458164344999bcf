#!/usr/bin/env bash
# Installs what is missing and runs the whole test suite:
#   - a short, repeatable run of every fuzz target (their own clang build in build-fuzz), from the
#     seeds and the regression inputs in tests/hostile/;
#   - the thread stress test under ThreadSanitizer (its own build in build-tsan);
#   - every test program, built with AddressSanitizer and UndefinedBehaviorSanitizer (build-test).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
fuzz/smoke.sh
scripts/tsan.sh
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVMPEEK_SANITIZE=ON >/dev/null
cmake --build build-test
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd build-test && ctest --output-on-failure -j2 --timeout 600

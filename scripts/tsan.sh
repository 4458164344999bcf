#!/usr/bin/env bash
# Builds the thread stress test (and the libraries) with ThreadSanitizer in build-tsan and runs
# it; any data race or lock-order inversion fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVMPEEK_TSAN=ON -DVMPEEK_SANITIZE=OFF >/dev/null
cmake --build build-tsan --target test_threads -j2
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 exitcode=66 history_size=4"
build-tsan/bin/test_threads

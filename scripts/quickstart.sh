#!/usr/bin/env bash
# Installs what is missing, builds vmpeek in release mode into build/, makes the sample machines
# (build/samples) and inspects the Windows-like sample guest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVMPEEK_TESTS=OFF >/dev/null
cmake --build build --target vmpeek_cli quilldrv sample
build/bin/vmpeek inspect build/samples/windows/guest.vmx

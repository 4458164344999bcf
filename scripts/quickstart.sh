#!/usr/bin/env bash
# Installs what is missing, builds vmpeek in release mode into build/, makes the sample machines
# (build/samples) and describes the VMware one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVMPEEK_TESTS=OFF >/dev/null
cmake --build build --target vmpeek_cli sample
build/bin/vmpeek info build/samples/vmware/sample.vmx

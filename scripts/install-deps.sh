#!/usr/bin/env bash
# Installs what vmpeek needs to build and test on Debian 12 (run as root). Quiet when all is there.
set -euo pipefail
pkgs=(cmake ninja-build g++ pkg-config libxml2-dev nlohmann-json3-dev libcli11-dev
      libgtest-dev libbenchmark-dev qemu-utils fdisk dosfstools mtools xorriso ldmtool
      xz-utils python3 clang-14 libclang-rt-14-dev llvm-14 time
      libhivex-dev libhivex-bin libwin-hivex-perl ntfs-3g-dev ntfs-3g libtsk-dev sleuthkit
      libfuse3-dev fuse3 gdisk e2fsprogs liburing-dev)
# Node.js (for an independent VHD writer in the tests) may already come from elsewhere.
command -v npm >/dev/null 2>&1 || pkgs+=(nodejs npm)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# vhd-lib, an independent VHD writer the tests use as an oracle, pinned and installed once here
# (never while tests run). The version is part of the folder name, so a new pin installs beside.
VHD_LIB_VERSION=0.7.2
tools=${VMPEEK_TOOLS_DIR:-/opt/vmpeek-tools}
if [ ! -f "$tools/vhd-lib-$VHD_LIB_VERSION/node_modules/vhd-lib/package.json" ]; then
  echo "installing: vhd-lib@$VHD_LIB_VERSION into $tools"
  mkdir -p "$tools"
  tmp=$(mktemp -d "$tools/.vhd-lib.XXXXXX")
  chmod 755 "$tmp"
  npm install --silent --no-audit --no-fund --prefix "$tmp" "vhd-lib@$VHD_LIB_VERSION" >/dev/null
  rm -rf "$tools/vhd-lib-$VHD_LIB_VERSION"
  mv "$tmp" "$tools/vhd-lib-$VHD_LIB_VERSION"
fi

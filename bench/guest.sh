#!/usr/bin/env bash
# The guest commands against their peers, one run on this machine:
#   - vmpeek inspect of the sample Windows guest (target: under 1 s);
#   - vmpeek get of a 1 GiB file from NTFS in a sparse VMDK against ntfscat of the raw partition
#     image (target: at least 0.8x its throughput);
#   - reading that file through vmpeek mount against ntfs-3g's own FUSE mount of the raw
#     partition image (target: at least 0.7x; skipped without /dev/fuse).
# Usage: bench/guest.sh [BUILD]   (BUILD defaults to build; needs its vmpeek, quilldrv, ntfs_fill
# and samples: cmake --build BUILD --target vmpeek_cli quilldrv sample)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
vmpeek="$build/bin/vmpeek"
work=$(mktemp -d)
cleanup() {
  fusermount3 -u "$work/m1" 2>/dev/null || true
  fusermount3 -u "$work/m2" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); awk -v s="$s" -v e="$e" 'BEGIN { print e - s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

t=$(seconds "$vmpeek" inspect "$build/samples/windows/guest.vmx")
printf 'vmpeek inspect of the sample guest: %.3f s (target < 1 s)\n' "$t"

# A 1.2 GiB NTFS partition image holding one 1 GiB file, and a sparse VMDK of a disk around it.
mkdir -p "$work/src"
head -c 1073741824 /dev/urandom > "$work/src/big.bin"
truncate -s 1300M "$work/part.img"
mkntfs -q -F -Q "$work/part.img" >/dev/null 2>&1
"$build/bin/ntfs_fill" "$work/part.img" "$work/src"
rm "$work/src/big.bin"
truncate -s $(( 1300 * 1048576 + 2 * 1048576 )) "$work/disk.raw"
printf 'label: dos\nstart=2048, type=7\n' | sfdisk -q "$work/disk.raw"
dd if="$work/part.img" of="$work/disk.raw" bs=1M seek=1 conv=notrunc,sparse status=none
qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$work/disk.raw" "$work/disk.vmdk"
rm "$work/disk.raw"

ntfscat "$work/part.img" big.bin > /dev/null  # warm the page cache for both
peer=$(seconds ntfscat "$work/part.img" big.bin)
ours=$(seconds "$vmpeek" get "$work/disk.vmdk" /big.bin /dev/null --partition 0)
printf 'read 1 GiB: ntfscat %.2f s, vmpeek get (sparse VMDK) %.2f s: %sx ntfscat (target >= 0.8)\n' \
  "$peer" "$ours" "$(ratio "$peer" "$ours")"

if [ -c /dev/fuse ] && command -v ntfs-3g >/dev/null; then
  mkdir "$work/m1" "$work/m2"
  ntfs-3g -o ro "$work/part.img" "$work/m1"
  "$vmpeek" mount "$work/disk.vmdk" "$work/m2" --partition 0
  peer=$(seconds cat "$work/m1/big.bin")
  ours=$(seconds cat "$work/m2/big.bin")
  printf 'read 1 GiB through FUSE: ntfs-3g %.2f s, vmpeek mount %.2f s: %sx ntfs-3g (target >= 0.7)\n' \
    "$peer" "$ours" "$(ratio "$peer" "$ours")"
else
  echo "FUSE comparison skipped: needs /dev/fuse and ntfs-3g"
fi

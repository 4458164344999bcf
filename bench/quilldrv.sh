#!/usr/bin/env bash
# The volume driver against the tools that read the same volumes directly (one run each):
#  1. reading a 1 GiB file from NTFS in a sparse VMDK vs ntfscat and icat on the raw partition;
#  2. listing 100,000 files in 2,000 folders recursively vs fls -r on the raw partition;
#  3. writing a 256 MiB file into NTFS in a dynamic VHD vs ntfscp onto the raw partition.
# Prints one line per measurement (seconds); the scratch folder is removed on exit.
# Needs build-bench (see README) with the targets bench_quilldrv and ntfs_fill.
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=${BENCH_BIN:-build-bench/bin}
DATA=${BENCH_DATA:-build-bench}
S=$(mktemp -d "$(realpath "$DATA")/quilldrv.XXXXXX")
trap 'rm -rf "$S"' EXIT
secs() { local a b; a=$(date +%s.%N); "$@" >/dev/null; b=$(date +%s.%N); echo "$b - $a" | bc; }
# An MBR disk with the partition image at sector 2048.
disk_of() {
  local part=$1 disk=$2 sectors
  sectors=$(( $(stat -c %s "$part") / 512 ))
  truncate -s $(( (sectors + 4096) * 512 )) "$disk"
  echo "start=2048, size=$sectors, type=7" | sfdisk -q "$disk" >/dev/null
  dd if="$part" of="$disk" bs=1M seek=1 conv=notrunc,sparse status=none
}
mkntfs_image() { truncate -s "$2" "$1" && mkntfs -F -Q -q -s 512 -p 2048 -H 255 -S 63 "$1" >/dev/null 2>&1; }

# 1. Read.
mkntfs_image "$S/read.part" 1300M
head -c 1G /dev/urandom >"$S/big.bin"
ntfscp -q "$S/read.part" "$S/big.bin" /big.bin
rm "$S/big.bin"
disk_of "$S/read.part" "$S/read.raw"
qemu-img convert -O vmdk "$S/read.raw" "$S/read.vmdk" && rm "$S/read.raw"
inode=$(ifind -n /big.bin "$S/read.part")
cat "$S/read.part" "$S/read.vmdk" >/dev/null  # both in the page cache
echo "read ntfscat $(secs ntfscat "$S/read.part" /big.bin)"
echo "read icat $(secs icat "$S/read.part" "$inode")"
echo "read driver $("$BIN/bench_quilldrv" read "$S/read.vmdk" 0 /big.bin | cut -d' ' -f2-)"
rm -f "$S/read.part" "$S/read.vmdk"

# 2. Listing.
python3 - "$S/tree" <<'PY'
import os, sys
for d in range(2000):
    p = os.path.join(sys.argv[1], "d%04d" % d)
    os.makedirs(p)
    for f in range(50):
        open(os.path.join(p, "f%02d.txt" % f), "w").write("x")
PY
mkntfs_image "$S/list.part" 1G
"$BIN/ntfs_fill" "$S/list.part" "$S/tree" && rm -rf "$S/tree"
disk_of "$S/list.part" "$S/list.raw"
qemu-img convert -O vmdk "$S/list.raw" "$S/list.vmdk" && rm "$S/list.raw"
echo "list fls $(secs fls -r "$S/list.part")"
echo "list driver $("$BIN/bench_quilldrv" list "$S/list.vmdk" 0 | cut -d' ' -f2-)"
rm -f "$S/list.part" "$S/list.vmdk"

# 3. Write.
mkntfs_image "$S/write.part" 1G
head -c 256M /dev/urandom >"$S/w.bin"
disk_of "$S/write.part" "$S/write.raw"
qemu-img convert -O vpc -o subformat=dynamic "$S/write.raw" "$S/write.vhd" && rm "$S/write.raw"
echo "write ntfscp $(secs ntfscp -q "$S/write.part" "$S/w.bin" /w.bin)"
echo "write driver $("$BIN/bench_quilldrv" write "$S/write.vhd" 0 /w.bin 256 | cut -d' ' -f2-)"

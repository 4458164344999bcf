#!/usr/bin/env bash
# Makes the seed corpora in OUT (default build-fuzz/seeds/<target>/): small images made by the
# real tools (sfdisk, qemu-img, qemu-io), hand-built images (make_seeds.py), the sample
# configurations in tests/data, and the committed seeds in fuzz/seeds/. Every seed
# stays under 256 KiB.
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=$(realpath -m "${1:-build-fuzz/seeds}")
REAL=$PWD/tests/data
SEP=$'\n==vmpeek-file==\n'
rm -rf "$OUT"
mkdir -p "$OUT"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

# Joins files with the harness's separator line.
frame() {
  local out=$1 first=1 f
  shift
  : >"$out"
  for f in "$@"; do
    [ $first = 1 ] || printf '%s' "$SEP" >>"$out"
    first=0
    cat "$f" >>"$out"
  done
}
seed() { mkdir -p "$OUT/$1"; cp "$3" "$OUT/$1/$2"; }

# A 192 KiB disk: a primary FAT partition and an extended chain of two logical partitions,
# with patterned data in each.
truncate -s 192K r.img
printf 'label: dos\nstart=1, size=100, type=c\nstart=101, size=250, type=5\nstart=102, size=50, type=83\nstart=160, size=60, type=7\n' |
  sfdisk -q r.img >/dev/null
qemu-io -f raw -c 'write -P 0x41 1k 4k' -c 'write -P 0x42 52k 2k' -c 'write -P 0x43 81k 1k' r.img >/dev/null
# A 64 KiB disk with one partition, for the chains.
truncate -s 64K s.img
printf 'label: dos\nstart=2, size=100, type=83\n' | sfdisk -q s.img >/dev/null
qemu-io -f raw -c 'write -P 0x55 1k 2k' s.img >/dev/null

# Partition tables: sfdisk layouts, raw.
seed partitions mbr-extended r.img
truncate -s 128K p1.img
printf 'label: dos\nstart=1,size=20,type=7\nstart=21,size=20,type=83\nstart=41,size=20,type=b\nstart=61,size=190,type=f\nstart=62,size=30,type=83\nstart=93,size=30,type=5\nstart=124,size=30,type=c\n' |
  sfdisk -q p1.img >/dev/null 2>&1 || true
seed partitions mbr-four-and-logicals p1.img
head -c 1024 r.img >p2.img
seed partitions mbr-cut p2.img
truncate -s 64K gpt.img
printf 'label: gpt\nstart=34, size=60\n' | sfdisk -q gpt.img >/dev/null 2>&1 || true
seed partitions gpt-protective gpt.img

# GPT target inputs (flags, u32 disk sectors, the primary header sector, the entry array) from
# disks made by sgdisk and sfdisk: with a backup sharing the array, with its own array and a
# spoiled primary, without a backup.
gpt_input() {
  local out=$1 flags=$2 raw=$3 n
  n=$(($(stat -c %s "$raw") / 512))
  {
    printf "\\x$(printf %02x "$flags")"
    printf "\\x$(printf %02x $((n & 255)))\\x$(printf %02x $((n >> 8 & 255)))\\x$(printf %02x $((n >> 16 & 255)))\\x00"
    dd if="$raw" bs=512 skip=1 count=33 status=none
  } >"$out"
}
truncate -s 1M g1.img
sgdisk -a 1 -n 1:34:+100K -t 1:ef00 -c 1:EFI -n 2:0:+64K -t 2:0c01 -n 3:0:0 -t 3:0700 -c 3:data g1.img >/dev/null
gpt_input g1 1 g1.img
seed gpt sgdisk-backup g1
gpt_input g2 13 g1.img
seed gpt sgdisk-own-backup-spoiled-primary g2
truncate -s 512K g3.img
printf 'label: gpt\nsize=100, type=linux, name="root"\nsize=50, type=swap\n' | sfdisk -q g3.img >/dev/null
gpt_input g3 0 g3.img
seed gpt sfdisk-primary-only g3

# VMDK from qemu-img: descriptors with their extents renamed to the harness's 1.vmdk, 2.vmdk ...
fix_geometry() { sed -i 's/cylinders = "0"/cylinders = "4"/' "$1"; }
qemu-img convert -f raw -O vmdk -o subformat=monolithicFlat s.img flat.vmdk
sed -i 's/"flat-flat.vmdk"/"1.vmdk"/' flat.vmdk
fix_geometry flat.vmdk
frame d-flat flat.vmdk flat-flat.vmdk
seed vmdk_descriptor qemu-monolithic-flat d-flat
qemu-img convert -f raw -O vmdk -o subformat=twoGbMaxExtentSparse s.img two.vmdk
sed -i 's/"two-s001.vmdk"/"1.vmdk"/' two.vmdk
fix_geometry two.vmdk
frame d-two two.vmdk two-s001.vmdk
seed vmdk_descriptor qemu-2gb-sparse d-two
seed vmdk_hosted_sparse qemu-s001 two-s001.vmdk
# A monolithic sparse base as 1.vmdk, and a child disk.vmdk over it with changed sectors.
mkdir chain && (cd chain &&
  qemu-img convert -f raw -O vmdk -o subformat=monolithicFlat ../s.img 1.vmdk &&
  sed -i 's/"1-flat.vmdk"/"2.vmdk"/; s/cylinders = "0"/cylinders = "4"/' 1.vmdk && mv 1-flat.vmdk 2.vmdk &&
  qemu-img create -q -f vmdk -b 1.vmdk -F vmdk disk.vmdk 64K >/dev/null &&
  qemu-io -f vmdk -c 'write -P 0x77 2k 1k' disk.vmdk >/dev/null)
frame d-chain chain/disk.vmdk chain/1.vmdk chain/2.vmdk
seed vmdk_descriptor qemu-sparse-child-of-flat d-chain
qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse s.img mono.vmdk
fix_geometry mono.vmdk
seed vmdk_hosted_sparse qemu-monolithic mono.vmdk
qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse s.img disk.vmdk
fix_geometry disk.vmdk
seed vmdk_descriptor qemu-monolithic-sparse disk.vmdk
qemu-img convert -f raw -O vmdk -o subformat=streamOptimized s.img stream.vmdk
seed vmdk_hosted_sparse qemu-stream-optimized stream.vmdk

# VHD from qemu-img: a fixed image (exact size) and an empty dynamic one (2 MiB blocks).
qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on s.img fixed.vhd
seed vhd qemu-fixed fixed.vhd
qemu-img create -q -f vpc -o subformat=dynamic v.vhd 4M
seed vhd qemu-dynamic-empty v.vhd
qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on r.img fixed2.vhd
seed partitions qemu-vhd-fixed-as-raw fixed2.vhd

# Hand-built images and the LDM sample disks.
python3 "$OLDPWD/fuzz/make_seeds.py" "$OUT" r.img "$REAL/ldm/ldm-data.tar.xz"

# Configurations: the sample .vmx files, also as CfgBall texts with an edit script.
for f in "$REAL"/vmx/*.vmx; do
  [ -f "$f" ] || continue
  seed vmx "$(basename "$f" .vmx)" "$f"
  printf 'g ~|displayName\nn ~|memsize|32\ns ~|displayName|new name\nN ~|memsize|-16|4096\nk ~|ide0:0.fileName\ne\nE ~\nt\n' >script
  frame c "$f" script
  seed cfgball "$(basename "$f" .vmx)" c
done

# Registry hives: hivex's samples and a small real hive.
for f in "$REAL"/hive/*; do
  [ -f "$f" ] && seed registry_hive "hivex-$(basename "$f")" "$f"
done
if [ -f "$REAL/hives/win10_regipy_BCD.xz" ]; then
  xz -dc "$REAL/hives/win10_regipy_BCD.xz" >bcd
  seed registry_hive win10-bcd bcd
fi

# Filesystem volumes for the volume driver (NTFS, FAT, ext2, ISO 9660), in the sparse form of
# the harness (sectors holding only zeros left out); the last byte asks for a writable mount.
sparse_volume() {
  python3 - "$1" "$2" <<'PY'
import struct, sys
image = open(sys.argv[1], "rb").read()
total = len(image) // 512
sec = lambda i: image[i * 512:(i + 1) * 512]
uniform = lambda b: b.count(b[0]) == 512
body = b""
s = 0
while s < total:
    b = sec(s)
    if not any(b):
        s += 1
        continue
    e = s
    if uniform(b):  # a fill piece for sectors of one repeated byte
        while e + 1 < total and sec(e + 1) == b:
            e += 1
        body += struct.pack("<II", s, 0x80000000 | (e - s + 1) * 512) + b[:1]
    else:
        while e + 1 < total and any(sec(e + 1)) and not uniform(sec(e + 1)):
            e += 1
        body += struct.pack("<II", s, (e - s + 1) * 512) + image[s * 512:(e + 1) * 512]
    s = e + 1
open(sys.argv[2], "wb").write(b"VMPKSPRS" + struct.pack("<I", total) + body + b"\x01")
PY
}
mkdir -p volume-tree/sub && printf 'hello' >volume-tree/a.txt && printf 'x' >volume-tree/sub/b.txt
truncate -s 2M v.ntfs && mkntfs -F -Q -q -s 512 -p 1 -H 255 -S 63 v.ntfs >/dev/null 2>&1 &&
  ntfscp -q v.ntfs volume-tree/a.txt /a.txt >/dev/null 2>&1 && sparse_volume v.ntfs ntfs && seed quilldrv_volume ntfs ntfs
mkfs.fat -C -F 12 v.fat 128 >/dev/null && mcopy -s -i v.fat volume-tree/a.txt volume-tree/sub ::/ &&
  sparse_volume v.fat fat && seed quilldrv_volume fat12 fat
truncate -s 192K v.ext && mkfs.ext2 -q -d volume-tree v.ext && sparse_volume v.ext ext && seed quilldrv_volume ext2 ext
xorriso -as mkisofs -quiet -R -J -o v.iso volume-tree 2>/dev/null && sparse_volume v.iso iso &&
  seed quilldrv_volume iso iso
printf '\x02\x08ABCDEFGH' >rec && seed quilldrv_records unmount rec

# The committed hand-made seeds.
for d in "$OLDPWD"/fuzz/seeds/*/; do
  [ -d "$d" ] || continue
  t=$(basename "$d")
  mkdir -p "$OUT/$t"
  cp "$d"* "$OUT/$t/" 2>/dev/null || true
done
find "$OUT" -type f -size +255k -delete
echo "seeds in $OUT: $(find "$OUT" -type f | wc -l) files"

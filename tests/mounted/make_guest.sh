#!/bin/sh
# make_guest.sh OUT NTFS_FILL: a disk (MBR signature 12345678) with two NTFS partitions holding
# Windows-like guests, as OUT/disk.raw, OUT/disk.vmdk and OUT/disk.vhd.
#   1 (sector 2048): \Windows\System32\config\SYSTEM (real Windows 7 hive: Select\Current set to 2,
#     MountedDevices naming both partitions), SOFTWARE and DEFAULT (built on hivex's minimal hive).
#   2 (sector 83968): a dirty real Windows 10 SYSTEM hive with its two transaction logs.
set -eu
out=$1; fill=$2; data=$(dirname "$0")/../data
cfg1=$out/p1/Windows/System32/config; cfg2=$out/p2/Windows/System32/config
mkdir -p "$cfg1" "$cfg2" "$out/p1/data"
xz -dc "$data/hives/win7sp1-x86_regipy_SYSTEM.xz" > "$cfg1/SYSTEM"
for f in "" .LOG1 .LOG2; do xz -dc "$data/hives/win10-1709_regipy_SYSTEM_B$f.xz" > "$cfg2/SYSTEM$f"; done
merge() {  # merge HIVE ROOTKEY REGTEXT
  printf 'Windows Registry Editor Version 5.00\n\n%b' "$3" > "$out/merge.reg"
  hivexregedit --merge --prefix "$2" "$1" "$out/merge.reg"
}
merge "$cfg1/SYSTEM" 'HKEY_LOCAL_MACHINE\SYSTEM' '[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n"Current"=dword:00000002\n
[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\n"\\\\DosDevices\\\\G:"=hex:78,56,34,12,00,00,10,00,00,00,00,00
"\\\\DosDevices\\\\J:"=hex(1):78,56,34,12,00,00,90,02,00,00,00,00
"\\\\DosDevices\\\\K:"=hex:78,56,34,12,00,00,90,02,00,00,00,00,00,00,00,00
"\\\\DosDevices\\\\H:"=hex:44,4d,49,4f,3a,49,44,3a,78,56,34,12,00,00,90,02,00,00,00,00,00,00,00,00\n'
for c in "$cfg1" "$cfg2"; do
  cp "$data/hives/minimal" "$c/SOFTWARE"; cp "$data/hives/minimal" "$c/DEFAULT"; chmod u+w "$c/SOFTWARE" "$c/DEFAULT"
  merge "$c/SOFTWARE" 'HKEY_LOCAL_MACHINE\SOFTWARE' '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\n
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.txt]\n@="txtfile"\n'
  merge "$c/DEFAULT" 'HKEY_USERS\.DEFAULT' '[HKEY_USERS\\.DEFAULT\\Control Panel]\n
[HKEY_USERS\\.DEFAULT\\Control Panel\\International]\n"LocaleName"="en-GB"\n'
done
printf 'guest file\n' > "$out/p1/data/hello.txt"
printf 'label: dos\nlabel-id: 0x12345678\nstart=2048, size=81920, type=7\nstart=83968, size=81920, type=7\n' |
  { truncate -s 84M "$out/disk.raw"; sfdisk -q "$out/disk.raw"; }
for p in 1 2; do
  truncate -s 40M "$out/p$p.img"
  mkntfs -q -F -Q -p $((2048 + (p - 1) * 81920)) -H 16 -S 63 -L guest$p "$out/p$p.img"
  "$fill" "$out/p$p.img" "$out/p$p"
  dd if="$out/p$p.img" of="$out/disk.raw" bs=512 seek=$((2048 + (p - 1) * 81920)) conv=notrunc,sparse status=none
  rm -f "$out/p$p.img"
done
qemu-img convert -f raw -O vmdk "$out/disk.raw" "$out/disk.vmdk"
qemu-img convert -f raw -O vpc "$out/disk.raw" "$out/disk.vhd"

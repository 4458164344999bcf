#!/usr/bin/env bash
# Builds the bundled Windows-like sample guest with real tools (hivexregedit, mkntfs, ntfs_fill,
# sfdisk, qemu-img, qemu-io):
#   OUT/windows/guest.vmx    a VMware machine whose disk guest.vmdk is a monolithic sparse child
#                            over guest-base.vmdk; MBR with two NTFS partitions: the system volume
#                            (\Windows\System32\config\SYSTEM, SOFTWARE, DEFAULT, \Users\...) and a
#                            data volume; the guest's MountedDevices gives them C: and D:
# Usage: samples/make-guest.sh OUT NTFS_FILL
set -euo pipefail
out=${1:?usage: make-guest.sh OUT NTFS_FILL}
fill=${2:?usage: make-guest.sh OUT NTFS_FILL}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/child-grains.sh"
mkdir -p "$out/windows"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

signature=5eed0c0a
c_start=2048 c_size=196608    # 96 MiB at 1 MiB
d_start=198656 d_size=63488   # 31 MiB after it
sectors=$(( d_start + d_size + 2048 ))

# A MountedDevices value for an MBR partition: the disk signature as stored, then the partition's
# byte offset as a 64-bit little-endian number.
mounted() {  # START_SECTOR
  local bytes sig offset
  sig=$(printf '%s' "$signature" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4,\3,\2,\1/')
  offset=$(printf '%016x' $(( $1 * 512 )) | sed 's/\(..\)\(..\)\(..\)\(..\)\(..\)\(..\)\(..\)\(..\)/\8,\7,\6,\5,\4,\3,\2,\1/')
  echo "hex:$sig,$offset"
}

hive() {  # NAME PREFIX REGFILE...
  local name=$1 prefix=$2
  shift 2
  cp "$here/guest/minimal.hive" "$work/$name"
  chmod u+w "$work/$name"
  cat "$@" | awk -f "$here/guest/with_parents.awk" > "$work/$name.reg"
  hivexregedit --merge --prefix "$prefix" "$work/$name" "$work/$name.reg"
}
cat > "$work/mounted.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]
"\\\\DosDevices\\\\C:"=$(mounted $c_start)
"\\\\DosDevices\\\\D:"=$(mounted $d_start)
REG
hive SYSTEM 'HKEY_LOCAL_MACHINE\SYSTEM' "$here/guest/SYSTEM.reg" "$work/mounted.reg"
hive SOFTWARE 'HKEY_LOCAL_MACHINE\SOFTWARE' "$here/guest/SOFTWARE.reg"
hive DEFAULT 'HKEY_USERS\.DEFAULT' "$here/guest/DEFAULT.reg"

# The system volume's files.
sys="$work/c"
mkdir -p "$sys/Windows/System32/config" "$sys/Windows/Temp" "$sys/Users/Alice/Documents" \
         "$sys/Users/Alice/Desktop" "$sys/Users/Public" "$sys/Program Files/Sample Editor"
cp "$work/SYSTEM" "$work/SOFTWARE" "$work/DEFAULT" "$sys/Windows/System32/config/"
printf '; for 16-bit app support\r\n[fonts]\r\n[extensions]\r\n' > "$sys/Windows/win.ini"
printf 'Meeting notes\r\n- ship the inspection report\r\n' > "$sys/Users/Alice/Documents/notes.txt"
printf 'Quarter,Revenue\r\nQ1,100\r\nQ2,120\r\n' > "$sys/Users/Alice/Documents/budget.csv"
head -c 1048576 /dev/zero | tr '\0' 'v' > "$sys/Users/Alice/Desktop/large.bin"
printf 'editor 8.6.2\r\n' > "$sys/Program Files/Sample Editor/readme.txt"
data="$work/d"
mkdir -p "$data/Backups" "$data/Photos"
printf 'backup catalogue\r\n' > "$data/Backups/catalog.txt"
printf 'not really a photo\r\n' > "$data/Photos/holiday.jpg"

volume() {  # IMAGE SECTORS LABEL SOURCE START
  truncate -s $(( $2 * 512 )) "$1"
  mkntfs -q -F -Q -L "$3" -p "$5" -H 255 -S 63 "$1" >/dev/null 2>&1
  "$fill" "$1" "$4"
}
volume "$work/c.img" $c_size System "$sys" $c_start
volume "$work/d.img" $d_size Data "$data" $d_start

raw="$work/disk.raw"
truncate -s $(( sectors * 512 )) "$raw"
sfdisk -q "$raw" <<PARTS
label: dos
label-id: 0x$signature
start=$c_start, size=$c_size, type=7, bootable
start=$d_start, size=$d_size, type=7
PARTS
dd if="$work/c.img" of="$raw" bs=1M seek=$(( c_start / 2048 )) conv=notrunc,sparse status=none
dd if="$work/d.img" of="$raw" bs=1M seek=$(( d_start / 2048 )) conv=notrunc,sparse status=none

# The parent holds the disk as first made; the child holds a document added after the snapshot.
rm -f "$out/windows/"*.vmdk
qemu-img convert -q -f raw -O vmdk -o subformat=monolithicSparse "$raw" "$out/windows/guest-base.vmdk"
cp --sparse=always "$raw" "$work/before.raw"
mkdir -p "$work/later/Users/Alice/Documents"
printf 'written after the snapshot\r\n' > "$work/later/Users/Alice/Documents/later.txt"
"$fill" "$work/c.img" "$work/later"
dd if="$work/c.img" of="$raw" bs=1M seek=$(( c_start / 2048 )) conv=notrunc,sparse status=none
(cd "$out/windows" && qemu-img create -q -f vmdk -o subformat=monolithicSparse \
   -b guest-base.vmdk -F vmdk guest.vmdk $(( sectors * 512 )))
write_changed_grains "$work/before.raw" "$raw" "$out/windows/guest.vmdk" "$work"
cat > "$out/windows/guest.vmx" <<'VMX'
.encoding = "UTF-8"
config.version = "8"
virtualHW.version = "14"
displayName = "vmpeek sample Windows guest"
guestOS = "windows9-64"
memsize = "2048"
scsi0.present = "TRUE"
scsi0.virtualDev = "lsisas1068"
scsi0:0.present = "TRUE"
scsi0:0.fileName = "guest.vmdk"
checkpoint.vmState = ""
VMX
echo "sample guest written to $out/windows"

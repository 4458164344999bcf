#!/usr/bin/env bash
# Builds the bundled sample machines with real tools (sfdisk, mkfs.fat, mtools, qemu-img):
#   OUT/vmware/sample.vmx        a VMware machine whose disk sample.vmdk is a monolithic sparse
#                                child over sample-base.vmdk; MBR with a FAT primary partition and
#                                an extended partition holding two logical FAT drives
#   OUT/microsoft/sample.vmc     a Microsoft machine naming sample.vhd, a dynamic VHD
# Usage: samples/make-sample.sh OUT
set -euo pipefail
out=${1:?usage: make-sample.sh OUT}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/child-grains.sh"
mkdir -p "$out/vmware" "$out/microsoft"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export MTOOLS_SKIP_CHECK=1

# A 64 MiB disk: primary FAT16 (24 MiB), extended partition with two logical FAT16 drives.
raw="$work/disk.raw"
truncate -s 64M "$raw"
sfdisk -q "$raw" <<'PARTS'
label: dos
label-id: 0x5eed1e55
start=2048, size=49152, type=6
start=51200, type=5
start=53248, size=32768, type=6
start=88064, type=6
PARTS

# Format each partition in place and put files on it.
fat() {  # START_SECTOR SECTORS LABEL
  mkfs.fat -F 16 -n "$3" --offset "$1" "$raw" $(( $2 / 2 )) >/dev/null 2>&1
}
readarray -t parts < <(sfdisk -d "$raw" | sed -n 's/.*start= *\([0-9]*\), size= *\([0-9]*\), type=\([0-9a-f]*\).*/\1 \2 \3/p')
for p in "${parts[@]}"; do
  read -r start size type <<<"$p"
  [ "$type" = 6 ] || continue
  case $start in
    2048) fat "$start" "$size" SYSTEM ;;
    53248) fat "$start" "$size" DATA ;;
    *) fat "$start" "$size" BACKUP ;;
  esac
done
img() { echo "$raw@@$(( $1 * 512 ))"; }
printf 'vmpeek sample machine\r\n' > "$work/README.TXT"
printf '[boot loader]\r\ntimeout=30\r\n' > "$work/BOOT.INI"
mmd -i "$(img 2048)" ::/WINDOWS ::/WINDOWS/SYSTEM32
mcopy -i "$(img 2048)" "$work/README.TXT" "$work/BOOT.INI" ::/
head -c 300000 "$here/make-sample.sh" > "$work/NOTES.TXT"
mcopy -i "$(img 53248)" "$work/NOTES.TXT" ::/
printf 'backup set 1\r\n' > "$work/SET1.TXT"
mcopy -i "$(img 88064)" "$work/SET1.TXT" ::/

# The VMware machine: the parent holds the disk as first made; the child holds a later change.
rm -f "$out/vmware/"*.vmdk
qemu-img convert -q -f raw -O vmdk -o subformat=monolithicSparse "$raw" "$out/vmware/sample-base.vmdk"
cp --sparse=always "$raw" "$work/before.raw"
printf 'added after the snapshot\r\n' > "$work/LATER.TXT"
mcopy -i "$(img 53248)" "$work/LATER.TXT" ::/
(cd "$out/vmware" && qemu-img create -q -f vmdk -o subformat=monolithicSparse \
   -b sample-base.vmdk -F vmdk sample.vmdk 64M)
# Copy into the child only the 64 KiB grains that changed.
write_changed_grains "$work/before.raw" "$raw" "$out/vmware/sample.vmdk" "$work"
cat > "$out/vmware/sample.vmx" <<'VMX'
.encoding = "UTF-8"
config.version = "8"
virtualHW.version = "7"
displayName = "vmpeek sample"
guestOS = "winxppro"
memsize = "256"
ide0:0.present = "TRUE"
ide0:0.fileName = "sample.vmdk"
ide1:0.present = "TRUE"
ide1:0.deviceType = "cdrom-image"
ide1:0.fileName = "install.iso"
ide1:0.startConnected = "FALSE"
checkpoint.vmState = ""
VMX

# The Microsoft machine: a dynamic VHD of the same disk, named by its absolute path.
rm -f "$out/microsoft/sample.vhd"
qemu-img convert -q -f raw -O vpc -o subformat=dynamic "$raw" "$out/microsoft/sample.vhd"
winpath="Z:$(printf '%s' "$out/microsoft/sample.vhd" | tr '/' '\\')"
cat > "$out/microsoft/sample.vmc" <<VMC
<?xml version="1.0" encoding="UTF-8"?>
<preferences>
  <version type="string">2.0</version>
  <hardware>
    <ide_adapter>
      <ide_controller id="0">
        <location id="0">
          <drive_type type="integer">1</drive_type>
          <pathname>
            <absolute type="string">$winpath</absolute>
            <relative type="string">.\sample.vhd</relative>
          </pathname>
        </location>
      </ide_controller>
    </ide_adapter>
  </hardware>
  <integration>
    <microsoft>
      <components>
        <host_time_sync><enabled type="boolean">true</enabled></host_time_sync>
      </components>
    </microsoft>
  </integration>
  <settings>
    <guest_os type="integer">3</guest_os>
  </settings>
</preferences>
VMC
echo "sample machines written to $out"

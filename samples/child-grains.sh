# Sourced by the sample scripts. write_changed_grains BEFORE AFTER CHILD WORK: writes into the
# VMDK child (a qemu-img child over the image made from BEFORE) every 64 KiB grain in which the raw
# disk AFTER differs from BEFORE, with qemu-io, using WORK for the pieces.
write_changed_grains() {
  local before=$1 after=$2 child=$3 work=$4 g
  local cmds=()
  for g in $(cmp -l "$before" "$after" | awk '{ print int(($1 - 1) / 65536) }' | uniq); do
    dd if="$after" of="$work/grain$g" bs=64K skip="$g" count=1 status=none
    cmds+=(-c "write -q -s $work/grain$g $(( g * 65536 )) 64k")
  done
  qemu-io -f vmdk "${cmds[@]}" "$child"
}

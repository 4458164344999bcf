#!/usr/bin/env bash
# Sequential read throughput of every image format against the physical limit (a raw dd from the
# page cache) and against qemu-img convert, with the page cache warm.
#
# Usage: bench/throughput.sh [ROUNDS]   (default 5)
# Environment: VMPEEK_BIN (default build-bench/bin/vmpeek, else build/bin/vmpeek),
#              BENCH_MIB (disk size, default 1024), BENCH_DATA (parent folder of the scratch
#              folder, default build-bench: on the same file system as the tree).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ROUNDS=${1:-5}
MIB=${BENCH_MIB:-1024}
BIN=${VMPEEK_BIN:-}
if [ -z "$BIN" ]; then
  for b in "$ROOT/build-bench/bin/vmpeek" "$ROOT/build/bin/vmpeek"; do [ -x "$b" ] && { BIN=$b; break; }; done
fi
[ -x "$BIN" ] || { echo "no vmpeek release build (build-bench/ or build/); set VMPEEK_BIN" >&2; exit 1; }
PARENT_DIR=${BENCH_DATA:-$ROOT/build-bench}
mkdir -p "$PARENT_DIR"
D=$(mktemp -d "$PARENT_DIR/throughput.XXXXXX")
trap 'rm -rf "$D"' EXIT
BYTES=$((MIB * 1024 * 1024))

echo "vmpeek: $BIN"
echo "data:   $D ($(df -P "$D" | awk 'NR==2 {print $1}'), $(stat -f -c %T "$D"))"
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores (before)"

# --- the images -------------------------------------------------------------------------------
echo "building a $MIB MiB pseudo-random disk and its images..." >&2
RAW=$D/disk.raw
head -c "$BYTES" /dev/urandom > "$RAW"
echo 'start=2048, type=7' | sfdisk -q "$RAW" >/dev/null
qemu-img convert -q -f raw -O vmdk -o subformat=monolithicFlat "$RAW" "$D/flat.vmdk"
qemu-img convert -q -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$D/sparse.vmdk"
qemu-img convert -q -f raw -O vpc -o subformat=fixed,force_size=on "$RAW" "$D/fixed.vhd"
qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on "$RAW" "$D/dynamic.vhd"

# VMDK child over sparse.vmdk: every odd 64 KiB grain written by qemu-io.
GRAIN=65536
qemu-img create -q -f vmdk -b sparse.vmdk -F vmdk "$D/child.vmdk" >/dev/null
for ((g = 1; g < BYTES / GRAIN; g += 2)); do echo "write -q -P $((g % 251 + 1)) $((g * GRAIN)) $GRAIN"; done |
  qemu-io -f vmdk "$D/child.vmdk" >/dev/null
# Differencing VHD over dynamic.vhd: every odd 2 MiB block from its own data (qemu writes the
# blocks as a dynamic image, make_vhd_child.py makes it a child; qemu cannot write one).
BLOCK=2097152
python3 - "$D/childdata.raw" "$BYTES" "$BLOCK" <<'PY'
import os, sys
path, size, block = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(path, "wb") as f:
    f.truncate(size)
    for b in range(1, size // block, 2):
        f.seek(b * block)
        f.write(os.urandom(block))
PY
qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on "$D/childdata.raw" "$D/child.vhd"
python3 "$ROOT/bench/make_vhd_child.py" "$D/dynamic.vhd" "$D/child.vhd"

# What each child must read as: the parent with the child's grains or blocks laid over it.
python3 - "$RAW" "$D/childdata.raw" "$BYTES" "$GRAIN" "$BLOCK" > "$D/expected.md5" <<'PY'
import hashlib, sys
raw, data, size, grain, block = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
vmdk, vhd = hashlib.md5(), hashlib.md5()
with open(raw, "rb") as r, open(data, "rb") as c:
    for off in range(0, size, block):
        base, mine = r.read(block), c.read(block)
        vhd.update(mine if (off // block) % 2 else base)
        for g in range(0, block, grain):
            n = (off + g) // grain
            vmdk.update(bytes([n % 251 + 1]) * grain if n % 2 else base[g:g + grain])
print("child.vmdk", vmdk.hexdigest())
print("child.vhd", vhd.hexdigest())
PY
rm -f "$D/childdata.raw"
RAWSUM=$(md5sum < "$RAW" | cut -d' ' -f1)

FORMATS=(flat.vmdk sparse.vmdk fixed.vhd dynamic.vhd child.vmdk child.vhd)
declare -A NAME=([flat.vmdk]="flat VMDK (monolithicFlat)" [sparse.vmdk]="sparse VMDK (monolithicSparse)"
  [fixed.vhd]="fixed VHD" [dynamic.vhd]="dynamic VHD" [child.vmdk]="VMDK child over sparse parent"
  [child.vhd]="differencing VHD over dynamic parent")
declare -A TARGET=([flat.vmdk]=0.9 [sparse.vmdk]=0.8 [fixed.vhd]=0.9 [dynamic.vhd]=0.8 [child.vmdk]=0.8 [child.vhd]=0.6)
declare -A QEMUFMT=([flat.vmdk]=vmdk [sparse.vmdk]=vmdk [fixed.vhd]=vpc [dynamic.vhd]=vpc [child.vmdk]=vmdk [child.vhd]=)

# --- correctness (and a warm page cache) -----------------------------------------------------
for f in "${FORMATS[@]}"; do
  got=$("$BIN" read "$D/$f" 2>/dev/null | md5sum | cut -d' ' -f1)
  want=$RAWSUM
  case $f in child.*) want=$(awk -v f="$f" '$1 == f {print $2}' "$D/expected.md5") ;; esac
  [ "$got" = "$want" ] || { echo "MISMATCH: vmpeek read $f gives $got, expected $want" >&2; exit 1; }
done
echo "every image reads back exactly (md5)" >&2
# The page cache must hold every file in the same state: how a file was written (small pipe
# writes by head, large ones by qemu-img) decides the size of its cache pages, which changes the
# speed of reading it from the cache by a factor of two or more. So each file is written back,
# dropped from the cache and read in again the same way.
python3 - "$D"/* <<'PY'
import os, sys
for p in sys.argv[1:]:
    fd = os.open(p, os.O_RDONLY)
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
PY
for f in "$D"/*; do dd if="$f" of=/dev/null bs=1M status=none; done

# --- timing ------------------------------------------------------------------------------------
now() { date +%s.%N; }
mbps() { awk -v b="$BYTES" -v s="$1" 'BEGIN { printf "%.0f", b / s / 1e6 }'; }
time_cmd() {
  local t0 t1
  t0=$(now)
  "$@" >/dev/null 2>"$D/err" || { echo "failed: $* ($(cat "$D/err"))" >&2; exit 1; }
  t1=$(now)
  mbps "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')"; }
median() { tr ' ' '\n' | awk 'NF' | sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.0f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A S_DD S_QEMU S_VMPEEK
ALL_DD=""
for ((r = 1; r <= ROUNDS; r++)); do
  echo "round $r/$ROUNDS (load $(cut -d' ' -f1 /proc/loadavg))" >&2
  for f in "${FORMATS[@]}"; do
    v=$(time_cmd dd if="$RAW" of=/dev/null bs=1M); S_DD[$f]+=" $v"; ALL_DD+=" $v"
    if [ -n "${QEMUFMT[$f]}" ]; then
      # qemu-img cannot convert to /dev/null (it refuses to grow a device): its null block
      # driver discards the written data the same way.
      S_QEMU[$f]+=" $(time_cmd qemu-img convert -n -f "${QEMUFMT[$f]}" "$D/$f" --target-image-opts "driver=null-co,size=$BYTES")"
    fi
    S_VMPEEK[$f]+=" $(time_cmd "$BIN" read "$D/$f" --output /dev/null)"
  done
done
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) (after)"

DD=$(echo "$ALL_DD" | median)
echo
echo "Medians of $ROUNDS alternating rounds, $MIB MiB disk, page cache warm; raw dd limit $DD MB/s (median of all dd runs)"
printf '%-38s %8s %9s %8s %11s %12s %8s\n' "format" "dd MB/s" "qemu MB/s" "vmpeek" "vmpeek/raw" "vmpeek/qemu" "target"
for f in "${FORMATS[@]}"; do
  v=$(echo "${S_VMPEEK[$f]}" | median)
  q=$(echo "${S_QEMU[$f]:-}" | median)
  d=$(echo "${S_DD[$f]}" | median)
  ratio_raw=$(awk -v a="$v" -v b="$DD" 'BEGIN { printf "%.2f", a / b }')
  if [ "$q" = "n/a" ]; then ratio_q="n/a"; else ratio_q=$(awk -v a="$v" -v b="$q" 'BEGIN { printf "%.2f", a / b }'); fi
  ok=$(awk -v r="$ratio_raw" -v t="${TARGET[$f]}" -v q="$ratio_q" 'BEGIN { print (r >= t && (q == "n/a" || q >= 2)) ? "met" : "MISSED" }')
  printf '%-38s %8s %9s %8s %11s %12s %8s\n' "${NAME[$f]}" "$d" "$q" "$v" "$ratio_raw" "$ratio_q" "${TARGET[$f]}x $ok"
done

#!/usr/bin/env bash
# The cost of opening a 2 TiB sparse image holding a few MB of data: a monolithic sparse VMDK
# (qemu-img writes all its grain tables up front, 128 MiB of them, and a redundant copy) and a
# dynamic VHD (a 4 MiB block allocation table). For each: wall time and peak memory of
# `vmpeek read IMG --count 1` (open, find the partitions, read one sector), against a raw dd of
# the tables the library loads, and against the same command on a tiny image (process start-up).
#
# Usage: bench/open_cost.sh [ROUNDS]   (default 5). Environment as for throughput.sh.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ROUNDS=${1:-5}
BIN=${VMPEEK_BIN:-}
if [ -z "$BIN" ]; then
  for b in "$ROOT/build-bench/bin/vmpeek" "$ROOT/build/bin/vmpeek"; do [ -x "$b" ] && { BIN=$b; break; }; done
fi
[ -x "$BIN" ] || { echo "no vmpeek release build (build-bench/ or build/); set VMPEEK_BIN" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (Debian package time)" >&2; exit 1; }
PARENT_DIR=${BENCH_DATA:-$ROOT/build-bench}
mkdir -p "$PARENT_DIR"
D=$(mktemp -d "$PARENT_DIR/opencost.XXXXXX")
trap 'rm -rf "$D"' EXIT
echo "vmpeek: $BIN"
echo "data:   $D ($(df -P "$D" | awk 'NR==2 {print $1}'), $(stat -f -c %T "$D"))"
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"

# A sparse 2 TiB raw disk (2040 GiB: the largest size a VHD's geometry fields allow, for both
# images) with one partition and 4 MiB of data.
RAW=$D/big.raw
truncate -s 2040G "$RAW"
echo 'start=2048, type=7' | sfdisk -q "$RAW" >/dev/null
head -c 4M /dev/urandom | dd of="$RAW" bs=1M seek=1 conv=notrunc status=none
head -c 4M /dev/urandom | dd of="$RAW" bs=1M seek=1000000 conv=notrunc status=none
qemu-img convert -q -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$D/big.vmdk"
qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on "$RAW" "$D/big.vhd"
qemu-img convert -q -f raw -O vmdk "$(truncate -s 8M "$D/tiny.raw"; echo 'start=2048, type=7' | sfdisk -q "$D/tiny.raw" >/dev/null; echo "$D/tiny.raw")" "$D/tiny.vmdk"
rm -f "$RAW" "$D/tiny.raw"

# The table bytes the library loads, and the byte range holding them (for dd).
read -r VMDK_TABLES VMDK_START VMDK_LEN < <(python3 - "$D/big.vmdk" <<'PY'
import struct, sys
with open(sys.argv[1], "rb") as f:
    h = f.read(512)
    flags, = struct.unpack_from("<I", h, 8)
    capacity, grain = struct.unpack_from("<QQ", h, 12)
    n, = struct.unpack_from("<I", h, 44)
    rgd, gd = struct.unpack_from("<QQ", h, 48)
    t = -(-(capacity // grain) // n)
    dirbytes = (4 * t + 511) // 512 * 512
    f.seek((rgd if flags & 2 else gd) * 512)
    entries = [e for e in struct.unpack("<%dI" % t, f.read(4 * t)) if e]
    tables = len(entries) * 4 * n
    start, end = min(entries) * 512, max(entries) * 512 + 4 * n
    # Both directories and the tables named by the one in use.
    print(tables + 2 * dirbytes, start, end - start)
PY
)
read -r VHD_TABLES VHD_START < <(python3 - "$D/big.vhd" <<'PY'
import struct, sys
with open(sys.argv[1], "rb") as f:
    f.seek(512)
    h = f.read(1024)
    off, = struct.unpack_from(">Q", h, 16)
    n, = struct.unpack_from(">I", h, 28)
    print((4 * n + 511) // 512 * 512, off)
PY
)
VHD_LEN=$VHD_TABLES
cat "$D"/* > /dev/null   # page cache warm

# Median wall seconds and peak RSS (KiB) of a command over ROUNDS runs.
measure() {
  local out=$D/time.out walls="" rss="" i
  for ((i = 0; i < ROUNDS; i++)); do
    /usr/bin/time -f '%e %M' -o "$out" "$@" >/dev/null 2>&1
    walls+=" $(cut -d' ' -f1 "$out")"; rss+=" $(cut -d' ' -f2 "$out")"
  done
  echo "$(echo "$walls" | tr ' ' '\n' | awk NF | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}')" \
       "$(echo "$rss" | tr ' ' '\n' | awk NF | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}')"
}
# dd's own timer is finer than /usr/bin/time's 10 ms: median seconds from its summary line.
dd_time() {
  local i t=""
  for ((i = 0; i < ROUNDS; i++)); do
    t+=" $(dd if="$1" of=/dev/null bs=16M iflag=skip_bytes,count_bytes skip="$2" count="$3" 2>&1 | awk '/copied/ {print $(NF-3)}')"
  done
  echo "$t" | tr ' ' '\n' | awk NF | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'
}
# Finer wall time than /usr/bin/time: median of date-stamped runs.
wall() {
  local i t0 t1 t=""
  for ((i = 0; i < ROUNDS; i++)); do
    t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N)
    t+=" $(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')"
  done
  echo "$t" | tr ' ' '\n' | awk NF | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'
}

read -r _ TINY_RSS < <(measure "$BIN" read "$D/tiny.vmdk" --count 1 --output /dev/null)
TINY_WALL=$(wall "$BIN" read "$D/tiny.vmdk" --count 1 --output /dev/null)
report() {  # name image tables start len target-note
  local name=$1 img=$2 tables=$3 start=$4 len=$5 rss w ddt
  read -r _ rss < <(measure "$BIN" read "$img" --count 1 --output /dev/null)
  w=$(wall "$BIN" read "$img" --count 1 --output /dev/null)
  ddt=$(dd_time "$img" "$start" "$len")
  awk -v n="$name" -v tb="$tables" -v rss="$rss" -v trss="$TINY_RSS" -v w="$w" -v tw="$TINY_WALL" -v dd="$ddt" -v len="$len" 'BEGIN {
    mib = 1048576; tables = tb / mib; peak = rss / 1024; limit = 1.1 * tables + 16
    printf "%-22s tables %7.1f MiB | peak RSS %6.1f MiB (tiny image %4.1f MiB; limit 1.1 x tables + 16 = %6.1f MiB: %s)\n", n, tables, peak, trss / 1024, limit, (peak <= limit ? "met" : "MISSED")
    printf "%-22s open+1 sector %6.3f s (tiny image %5.3f s, so %6.3f s beyond start-up) | dd of the %.1f MiB table range %6.3f s; limit 1.5 x dd = %6.3f s: %s\n", "", w, tw, w - tw, len / mib, dd, 1.5 * dd, (w - tw <= 1.5 * dd ? "met" : "MISSED")
  }'
}
echo
echo "Medians of $ROUNDS runs, page cache warm"
report "2 TiB sparse VMDK" "$D/big.vmdk" "$VMDK_TABLES" "$VMDK_START" "$VMDK_LEN"
report "2 TiB dynamic VHD" "$D/big.vhd" "$VHD_TABLES" "$VHD_START" "$VHD_LEN"
ls -ls "$D"/big.vmdk "$D"/big.vhd | awk '{printf "  %s: %.1f MiB on disk, %.1f MiB apparent\n", $NF, $1 / 1024, $6 / 1048576}'

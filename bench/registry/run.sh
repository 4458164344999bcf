#!/usr/bin/env bash
# The registry over a SOFTWARE-like hive of at least 60 MB built here with hivexregedit --merge:
# load time and a whole run of 10,000 value reads by path, against a small C program doing the
# same with hivex directly, and the peak memory of each. Medians of ROUNDS alternating runs.
# Usage: bench/registry/run.sh [ROUNDS]   (build-bench must hold bench_registry and bench_registry_hivex)
set -euo pipefail
cd "$(dirname "$0")/../.."
rounds=${1:-7}
bin=${VMPEEK_BENCH_BIN:-build-bench/bin}
data=${BENCH_DATA:-build-bench}/registry-data
mkdir -p "$data"
if [ ! -f "$data/software" ]; then
  python3 bench/make_software_reg.py "$data/software.reg" "$data/lookups" 48 10000
  cp tests/data/hives/minimal "$data/software.tmp"
  chmod u+w "$data/software.tmp"
  hivexregedit --merge --prefix 'HKEY_LOCAL_MACHINE\SOFTWARE' "$data/software.tmp" "$data/software.reg"
  mv "$data/software.tmp" "$data/software"
fi
size=$(stat -c %s "$data/software")
cat "$data/software" >/dev/null  # both programs start from a warm page cache
run() {  # prints: load_ms total_ms peak_kib
  local out
  out=$( { /usr/bin/time -f "peak_kib %M" "$@" "$data/software" "$data/lookups"; } 2>&1)
  echo "$(awk '/load_ms/ {print $2, $4}' <<<"$out") $(awk '/peak_kib/ {print $2}' <<<"$out")"
  grep -q "found 10000" <<<"$out" || { echo "not every value was found: $out" >&2; exit 1; }
}
: >"$data/ours" ; : >"$data/hivex"
for _ in $(seq "$rounds"); do
  run "$bin/bench_registry_hivex" >>"$data/hivex"
  run "$bin/bench_registry" >>"$data/ours"
done
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
col() { awk -v c="$2" '{print $c}' "$1" | median; }
hl=$(col "$data/hivex" 1); ht=$(col "$data/hivex" 2); hm=$(col "$data/hivex" 3)
ol=$(col "$data/ours" 1); ot=$(col "$data/ours" 2); om=$(col "$data/ours" 3)
echo "hive $((size >> 20)) MiB ($size bytes), 10000 lookups, medians of $rounds rounds, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-28s %12s %12s %14s\n' "" "load ms" "whole ms" "peak MiB"
printf '%-28s %12s %12s %14s\n' "hivex directly (C)" "$hl" "$ht" "$((hm >> 10))"
printf '%-28s %12s %12s %14s\n' "registry (RegLoadKeyW ...)" "$ol" "$ot" "$((om >> 10))"
awk -v ol="$ol" -v hl="$hl" -v ot="$ot" -v ht="$ht" -v om="$om" -v size="$size" 'BEGIN {
  printf "load %.2fx hivex_open (target <= 1.2x), whole run %.2fx (target <= 1.5x), peak %.1f MiB over the hive size (target <= 32)\n",
    ol / hl, ot / ht, (om * 1024 - size) / 1048576 }'

#!/usr/bin/env bash
# Runs one fuzz target for SECONDS (building it and making the seeds first when needed), with
# the corpus in build-fuzz/corpus/TARGET, findings in build-fuzz/artifacts/TARGET/ and the log
# in build-fuzz/logs/TARGET.log. Extra arguments go to libFuzzer.
# Usage: fuzz/run.sh TARGET SECONDS [libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer flags...]" >&2
  exit 2
fi
target=$1 seconds=$2
shift 2
source fuzz/flags.sh
if [[ ! " ${FUZZ_TARGETS[*]} " =~ " $target " ]]; then
  echo "unknown target $target (targets: ${FUZZ_TARGETS[*]})" >&2
  exit 2
fi
fuzz/build.sh >/dev/null
[ -d build-fuzz/seeds ] || fuzz/make-seeds.sh >/dev/null
mkdir -p "build-fuzz/corpus/$target" "build-fuzz/artifacts/$target" build-fuzz/logs
log=build-fuzz/logs/$target.log
status=0
# shellcheck disable=SC2046
ASAN_OPTIONS=$(fuzz_asan_options "$target") nice -n 10 "build-fuzz/bin/fuzz_$target" "${FUZZ_FLAGS[@]}" $(fuzz_dict_flag "$target") \
  -max_total_time="$seconds" -artifact_prefix="build-fuzz/artifacts/$target/" "$@" \
  "build-fuzz/corpus/$target" $(fuzz_seed_dirs "$target") >"$log" 2>&1 || status=$?
grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY|.*(Test unit|leak|out-of-memory|timeout))' "$log" | tail -12 || true
if [ $status -ne 0 ]; then
  echo "fuzz_$target found something (exit $status); see $log and build-fuzz/artifacts/$target/" >&2
fi
exit $status

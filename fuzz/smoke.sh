#!/usr/bin/env bash
# A short run of every fuzz target from its seeds and regression inputs, in a throw-away corpus.
# Fails when any target finds something. The run is repeatable (a fixed seed and a fixed number
# of executions, SMOKE_RUNS, default 1000), so the test command never turns red by chance; the
# time cap only guards against a slow machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source fuzz/flags.sh
runs=${SMOKE_RUNS:-1000}
fuzz/build.sh >/dev/null
fuzz/make-seeds.sh >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()
for t in "${FUZZ_TARGETS[@]}"; do
  mkdir -p "$scratch/$t"
  # shellcheck disable=SC2046
  if ASAN_OPTIONS=$(fuzz_asan_options "$t") "build-fuzz/bin/fuzz_$t" "${FUZZ_FLAGS[@]}" $(fuzz_dict_flag "$t") -seed=1 -runs="$runs" -max_total_time=120 \
      -artifact_prefix="$scratch/" "$scratch/$t" $(fuzz_seed_dirs "$t") >"$scratch/$t.log" 2>&1; then
    echo "fuzz smoke $t: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$scratch/$t.log" | tail -1 | sed 's/  */ /g')"
  else
    echo "fuzz smoke $t: FAILED" >&2
    grep -E 'ERROR|SUMMARY|Test unit|#0 |#1 |#2 |#3 ' "$scratch/$t.log" | head -20 >&2 || true
    mkdir -p build-fuzz/artifacts/smoke
    cp "$scratch"/crash-* "$scratch"/leak-* "$scratch"/oom-* "$scratch"/timeout-* build-fuzz/artifacts/smoke/ 2>/dev/null || true
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz smoke failed for: ${failed[*]} (inputs in build-fuzz/artifacts/smoke/)" >&2
  exit 1
fi

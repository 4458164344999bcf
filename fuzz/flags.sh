# libFuzzer and sanitizer settings shared by run.sh and smoke.sh (sourced).
#
# Resource bounds: opening any image may allocate at most 4 x its files' size + 64 MiB and must
# return within a second for files under 1 MiB.
# - The harness itself counts the heap in use during each run (sanitizer allocation hooks) and
#   aborts when the peak passes exactly that bound, so the bound is enforced per input.
# - -max_len=262144: inputs stay under 256 KiB (the sparse form of the partitions target may
#   describe a disk of up to 64 MiB, whose bound is then 4 x 64 + 64 = 320 MiB).
# - -malloc_limit_mb=320: a single allocation larger than the largest possible bound is
#   reported at once, with the stack that asked for it.
# - -rss_limit_mb=2048: a backstop for the whole process; AddressSanitizer's shadow memory,
#   redzones and its quarantine (kept at 64 MiB) come on top of the library's own heap.
# - -timeout=5: one run opens the image, reads and writes some sectors and releases it; the
#   1 s bound times 3-4 for AddressSanitizer + UndefinedBehaviorSanitizer + coverage, with a
#   margin for the shared 2-core machine.
# - -handle_xfsz=0: the harness caps file growth with RLIMIT_FSIZE and ignores SIGXFSZ, so a
#   write past the cap fails with EFBIG (disk full) as on a real full disk; libFuzzer must not
#   turn that signal into a finding.
FUZZ_FLAGS=(-max_len=262144 -malloc_limit_mb=320 -rss_limit_mb=2048 -timeout=5 -handle_xfsz=0 -print_final_stats=1)
export ASAN_OPTIONS=${ASAN_OPTIONS_FUZZ:-detect_leaks=1:quarantine_size_mb=64:malloc_context_size=30:abort_on_error=0}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
LSAN_OPTIONS=suppressions=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lsan.supp
export LSAN_OPTIONS

# The sanitizer settings of one target. libntfs-3g is built without frame pointers, so only the
# slow unwinder sees the frames that lsan.supp names; the NTFS target pays for it.
fuzz_asan_options() {
  if [ "$1" = quilldrv_volume ]; then echo "$ASAN_OPTIONS:fast_unwind_on_malloc=0"; else echo "$ASAN_OPTIONS"; fi
}
FUZZ_TARGETS=(vmdk_descriptor vmdk_hosted_sparse vmdk_esx_sparse vhd partitions gpt cfgball vmx vmc registry_hive
  quilldrv_records quilldrv_volume)

# Seed and regression folders of a target that exist.
fuzz_seed_dirs() {
  local t=$1 d
  for d in build-fuzz/seeds/$t tests/hostile/$t fuzz/seeds/$t; do
    [ -d "$d" ] && echo "$d"
  done
  return 0
}
fuzz_dict_flag() {
  [ -f "fuzz/dict/$1.dict" ] && echo "-dict=fuzz/dict/$1.dict"
  return 0
}

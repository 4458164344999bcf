// One libFuzzer entry point per target: VMFUZZ_TARGET names the harness target it runs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_harness.h"

static const vmfuzz::Target* g_Target = nullptr;

// Runs the target on small inputs first, so that what the library and the trace library set up
// once per process (channels, the in-memory ring of recent trace lines) is in place before
// fuzzing: libFuzzer then sees every later run free what it allocates and keeps checking each
// input for leaks.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_Target = vmfuzz::FindTarget(VMFUZZ_TARGET);
  if (g_Target == nullptr) {
    fprintf(stderr, "no fuzz target named %s\n", VMFUZZ_TARGET);
    abort();
  }
  static const uint8_t kWarmUp[] = "# Disk DescriptorFile\n[a]\nk=1\n<preferences/>";
  for (int i = 0; i < 300; ++i) g_Target->run(kWarmUp, i % 2 ? sizeof kWarmUp - 1 : 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_Target->run(data, size);
  return 0;
}

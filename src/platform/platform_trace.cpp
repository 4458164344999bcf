// The platform's trace hook.
#include "platform/platform_trace.h"

#include <atomic>
#include <cstdarg>

#include "platform/wstr.h"

namespace {
std::atomic<PlatformTraceHook> g_Hook{nullptr};
std::atomic<void*> g_Context{nullptr};
}  // namespace

extern "C" void PlatformSetTraceHook(PlatformTraceHook hook, void* context) {
  g_Context.store(context);
  g_Hook.store(hook);
}

void PlatformTrace(const WCHAR* format, ...) {
  PlatformTraceHook hook = g_Hook.load();
  if (!hook) return;
  WCHAR line[1024];
  va_list args;
  va_start(args, format);
  WStrFormatV(line, 1024, format, args);
  va_end(args);
  hook(line, g_Context.load());
}

#include "module/parse_trace.h"

#include <mutex>

std::atomic<TraceChannel> g_VMParseErrors{0};
std::atomic<TraceChannel> g_VMParseDetails{0};

namespace {
std::mutex g_OpenLock;
}

void OpenParseTraceChannels() {
  if (g_VMParseErrors.load(std::memory_order_acquire) != 0 &&
      g_VMParseDetails.load(std::memory_order_acquire) != 0)
    return;
  std::lock_guard<std::mutex> guard(g_OpenLock);
  if (g_VMParseErrors.load(std::memory_order_relaxed) == 0)
    g_VMParseErrors.store(OpenTraceChannel(u"VMParseErrors"), std::memory_order_release);
  if (g_VMParseDetails.load(std::memory_order_relaxed) == 0)
    g_VMParseDetails.store(OpenTraceChannel(u"VMParseDetails"), std::memory_order_release);
}

bool ParseDetailsWritten() { return TraceChannelWritten(g_VMParseDetails.load(std::memory_order_acquire)); }

// The two channels shared by the disk image and virtual machine code: "VMParseErrors" for
// failures and "VMParseDetails" for details and dumps, opened on first use of either factory.
#pragma once
#include <atomic>

#include "module/trace.h"

// Read by any host thread; written only under the opening lock.
extern std::atomic<TraceChannel> g_VMParseErrors;
extern std::atomic<TraceChannel> g_VMParseDetails;

// Obtains each channel while it is still 0 (tracing unavailable or not yet asked); safe to call
// from several threads at once, each channel is opened by one of them.
void OpenParseTraceChannels();

// Whether the detail channel is recorded: dumps of whole tables are formatted only then.
bool ParseDetailsWritten();

#define TRACE_ERR(...) TraceTo(g_VMParseErrors.load(std::memory_order_acquire), __VA_ARGS__)
#define TRACE_DETAIL(...) TraceTo(g_VMParseDetails.load(std::memory_order_acquire), __VA_ARGS__)

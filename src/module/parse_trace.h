// The two channels shared by the disk image and virtual machine code: "VMParseErrors" for
// failures and "VMParseDetails" for details and dumps, opened on first use of either factory.
#pragma once
#include "module/trace.h"

extern TraceChannel g_VMParseErrors;
extern TraceChannel g_VMParseDetails;

// Obtains each channel while it is still 0 (tracing unavailable or not yet asked).
void OpenParseTraceChannels();

#define TRACE_ERR(...) TraceTo(g_VMParseErrors, __VA_ARGS__)
#define TRACE_DETAIL(...) TraceTo(g_VMParseDetails, __VA_ARGS__)

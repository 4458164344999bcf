#include "module/parse_trace.h"

TraceChannel g_VMParseErrors = 0;
TraceChannel g_VMParseDetails = 0;

void OpenParseTraceChannels() {
  if (g_VMParseErrors == 0) g_VMParseErrors = OpenTraceChannel(u"VMParseErrors");
  if (g_VMParseDetails == 0) g_VMParseDetails = OpenTraceChannel(u"VMParseDetails");
}

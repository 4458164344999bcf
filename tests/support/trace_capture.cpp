#include "support/trace_capture.h"

#include "module/parse_trace.h"
#include "module/trace.h"
#include "platform/loader.h"
#include "vexlog/vexlog_api.h"

namespace vmtest {
namespace {

// The calls of the trace library the module has loaded, or null while none is loaded.
template <class T>
T TraceLibraryCall(const char* name) {
  LoadTraceLibrary();
  HMODULE module = static_cast<HMODULE>(TraceLibraryModule());
  return module ? reinterpret_cast<T>(GetProcAddress(module, name)) : nullptr;
}

}  // namespace

void ClearTrace() {
  // Tests may call a class directly, before any factory has opened the shared channels.
  OpenParseTraceChannels();
  if (auto clear = TraceLibraryCall<PFN_VexlogClearRecent>("VexlogClearRecent")) clear();
}

std::vector<std::string> RecentTrace(const std::string& channel) {
  std::vector<std::string> lines;
  auto recent = TraceLibraryCall<PFN_VexlogRecentLines>("VexlogRecentLines");
  if (!recent) return lines;
  std::string text;
  // Lines may arrive between the two calls: retry until the buffer was large enough.
  for (size_t need = recent(channel.c_str(), nullptr, 0);;) {
    text.assign(need, '\0');
    size_t now = recent(channel.c_str(), text.data(), text.size());
    if (now <= text.size()) break;
    need = now;
  }
  text.resize(text.find('\0'));
  if (text.empty()) return lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

bool TraceContains(const std::string& channel, const std::string& needle) {
  for (const std::string& line : RecentTrace(channel))
    if (line.find(needle) != std::string::npos) return true;
  return false;
}

}  // namespace vmtest

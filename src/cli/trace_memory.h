// The trace library's memory of recent lines, reached through the copy the plug-in loaded.
// The host clears it before a library call and reads the explaining lines after a failure.
#pragma once
#include <string>
#include <vector>

#include "platform/loader.h"
#include "vexlog/vexlog_api.h"

class TraceMemory {
 public:
  TraceMemory() = default;
  ~TraceMemory();
  TraceMemory(const TraceMemory&) = delete;
  TraceMemory& operator=(const TraceMemory&) = delete;

  // Binds to the trace library once the plug-in is loaded; without one, Clear and Lines do nothing.
  void Attach();
  void Detach();
  void Clear();
  // The remembered lines of a channel, oldest first, without line ends.
  std::vector<std::string> Lines(const char* channel) const;

 private:
  HMODULE m_Module = nullptr;
  PFN_VexlogRecentLines m_Recent = nullptr;
  PFN_VexlogClearRecent m_Clear = nullptr;
};

#include "cli/trace_memory.h"

TraceMemory::~TraceMemory() { Detach(); }

void TraceMemory::Attach() {
  if (m_Module) return;
  // The plug-in has loaded the trace library already; this only takes another reference.
  m_Module = LoadLibraryW(u"vexlog.dll");
  if (!m_Module) return;
  m_Recent = reinterpret_cast<PFN_VexlogRecentLines>(GetProcAddress(m_Module, "VexlogRecentLines"));
  m_Clear = reinterpret_cast<PFN_VexlogClearRecent>(GetProcAddress(m_Module, "VexlogClearRecent"));
}

void TraceMemory::Detach() {
  m_Recent = nullptr;
  m_Clear = nullptr;
  if (m_Module) {
    FreeLibrary(m_Module);
    m_Module = nullptr;
  }
}

void TraceMemory::Clear() {
  if (m_Clear) m_Clear();
}

std::vector<std::string> TraceMemory::Lines(const char* channel) const {
  std::vector<std::string> lines;
  if (!m_Recent) return lines;
  std::string text;
  // Grow until the copy fits (256 lines of a channel are a few tens of KiB at most).
  for (size_t need = m_Recent(channel, nullptr, 0); need > 0;) {
    text.assign(need, '\0');
    size_t now = m_Recent(channel, text.data(), text.size());
    if (now <= text.size()) break;
    need = now;
  }
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

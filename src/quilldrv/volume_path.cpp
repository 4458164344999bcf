#include "quilldrv/volume_path.h"

#include "platform/status.h"

namespace {

constexpr size_t kMaxPath = 32767;
constexpr size_t kMaxComponent = 255;

bool BadNameUnit(char16_t c) {
  return c < 0x20 || c == u'/' || c == u'*' || c == u'?' || c == u'"' || c == u'<' || c == u'>' ||
         c == u'|';
}

bool CaseEqualUnit(char16_t a, char16_t b) {
  if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - 32);
  if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - 32);
  return a == b;
}

}  // namespace

bool SameNameIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!CaseEqualUnit(a[i], b[i])) return false;
  return true;
}

uint32_t ParseVolumePath(const std::u16string& path, bool allowStreams, VolumePath* out) {
  out->components.clear();
  out->stream.clear();
  if (path.size() > kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
  if (path.empty() || path[0] != u'\\') return ERROR_PATH_NOT_FOUND;
  size_t pos = 1;
  while (pos < path.size()) {
    size_t end = path.find(u'\\', pos);
    if (end == std::u16string::npos) end = path.size();
    std::u16string part = path.substr(pos, end - pos);
    const bool last = end == path.size();
    if (part.empty() || part == u"." || part == u"..") return ERROR_INVALID_NAME;
    size_t colon = part.find(u':');
    if (colon != std::u16string::npos) {
      if (!last || !allowStreams || colon == 0) return ERROR_INVALID_NAME;
      std::u16string stream = part.substr(colon + 1);
      part.resize(colon);
      size_t second = stream.find(u':');
      if (second != std::u16string::npos) {
        // Only the data stream type may be named.
        std::u16string type = stream.substr(second + 1);
        if (!SameNameIgnoringCase(type, u"$DATA")) return ERROR_INVALID_NAME;
        stream.resize(second);
      }
      for (char16_t c : stream)
        if (BadNameUnit(c) || c == u'\\' || c == u':') return ERROR_INVALID_NAME;
      if (stream.size() > kMaxComponent) return ERROR_FILENAME_EXCED_RANGE;
      out->stream = stream;  // empty: the unnamed stream ("file::$DATA")
    }
    for (char16_t c : part)
      if (BadNameUnit(c)) return ERROR_INVALID_NAME;
    if (part.size() > kMaxComponent) return ERROR_FILENAME_EXCED_RANGE;
    out->components.push_back(std::move(part));
    pos = end + 1;
    if (end + 1 == path.size()) return ERROR_INVALID_NAME;  // a trailing "\" after a name
  }
  return ERROR_SUCCESS;
}

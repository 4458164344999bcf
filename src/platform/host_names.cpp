// Reversible mapping between host name bytes and Windows names.
#include "platform/host_names.h"

#include <cstdint>

#include "platform/wstr.h"

namespace {

constexpr char16_t kEscapeBase = 0xF000;

bool ForbiddenAscii(uint32_t c) {
  return c < 0x20 || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
         c == '|';
}

// A byte that the Windows form carries as an escape unit.
bool EscapedByte(uint32_t b) { return b >= 0x80 || (b != 0 && ForbiddenAscii(b)); }

// Decodes one UTF-8 sequence at p[i]; 0 bytes consumed when it is not valid.
size_t DecodeOne(const unsigned char* p, size_t n, size_t i, uint32_t* cp) {
  unsigned char b = p[i];
  if (b < 0x80) { *cp = b; return 1; }
  size_t len;
  uint32_t c, min;
  if ((b & 0xE0) == 0xC0) { len = 2; c = b & 0x1F; min = 0x80; }
  else if ((b & 0xF0) == 0xE0) { len = 3; c = b & 0x0F; min = 0x800; }
  else if ((b & 0xF8) == 0xF0) { len = 4; c = b & 0x07; min = 0x10000; }
  else return 0;
  if (i + len > n) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((p[i + k] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (p[i + k] & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *cp = c;
  return len;
}

}  // namespace

std::u16string HostNameToWindows(const std::string& bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  for (size_t i = 0; i < n;) {
    uint32_t c = 0;
    size_t len = DecodeOne(p, n, i, &c);
    // Invalid bytes, forbidden characters, and real characters that fall in the escape range
    // (which would read back as escapes) all travel byte by byte.
    if (len == 0 || (len == 1 && ForbiddenAscii(c)) || (c >= kEscapeBase && c <= kEscapeBase + 0xFF)) {
      size_t take = len ? len : 1;
      for (size_t k = 0; k < take; ++k) out.push_back(static_cast<char16_t>(kEscapeBase + p[i + k]));
      i += take;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += len;
  }
  return out;
}

bool WindowsNameToHost(const std::u16string& name, std::string* bytes) {
  std::string out;
  std::u16string run;  // plain text, converted in one piece
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c == 0) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
      run.push_back(c);
      run.push_back(name[++i]);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    } else if (c >= kEscapeBase && c <= kEscapeBase + 0xFF && EscapedByte(c - kEscapeBase)) {
      out += Utf16ToUtf8(run);
      run.clear();
      out.push_back(static_cast<char>(c - kEscapeBase));
    } else {
      run.push_back(c);
    }
  }
  out += Utf16ToUtf8(run);
  *bytes = std::move(out);
  return true;
}

bool IsValidWindowsComponent(const std::u16string& name, bool wildcards) {
  for (char16_t c : name) {
    if (c >= 0x80 || !ForbiddenAscii(c)) continue;
    if (wildcards && (c == '*' || c == '?' || c == '<' || c == '>' || c == '"')) continue;
    return false;
  }
  return true;
}

std::u16string FoldName(const std::u16string& name) {
  std::u16string u = name;
  for (auto& c : u) c = WCharUpper(c);
  return u;
}

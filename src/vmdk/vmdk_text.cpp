// Descriptor text primitives.
#include "vmdk/vmdk_text.h"

#include <cstring>

namespace {

char FoldAZ(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsParseBlank(char c) { return c == 9 || c == 10 || c == 11 || c == 13 || c == 32; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes strict UTF-8; false on any malformed sequence.
bool DecodeUtf8(const unsigned char* s, std::u16string* out) {
  while (*s) {
    uint32_t cp;
    int extra;
    if (*s < 0x80) { cp = *s; extra = 0; }
    else if ((*s & 0xE0) == 0xC0) { cp = *s & 0x1F; extra = 1; }
    else if ((*s & 0xF0) == 0xE0) { cp = *s & 0x0F; extra = 2; }
    else if ((*s & 0xF8) == 0xF0) { cp = *s & 0x07; extra = 3; }
    else return false;
    ++s;
    for (int i = 0; i < extra; ++i, ++s) {
      if ((*s & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (*s & 0x3F);
    }
    static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(cp));
    }
  }
  return true;
}

}  // namespace

bool DescriptorPrefixEquals(const char* text, const char* key) {
  if (key == nullptr) return true;
  if (text == nullptr) text = "";
  for (size_t i = 0; key[i] != 0; ++i) {
    if (FoldAZ(text[i]) != FoldAZ(key[i])) return false;  // stops at text's terminator
  }
  return true;
}

bool DescriptorEquals(const char* a, const char* b) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  for (;; ++a, ++b) {
    if (FoldAZ(*a) != FoldAZ(*b)) return false;
    if (*a == 0) return true;
  }
}

const char* NextSegment(const char* p, const char* buffer, size_t size) {
  if (p == nullptr || buffer == nullptr) return nullptr;
  const char* end = buffer + size;
  while (p < end && *p != 0) ++p;
  while (p < end && *p == 0) ++p;
  return p < end ? p : nullptr;
}

const char* FindDescriptorLine(const char* buffer, size_t size, const char* key) {
  if (buffer == nullptr || size == 0) return nullptr;
  for (const char* p = buffer; p != nullptr; p = NextSegment(p, buffer, size)) {
    if (DescriptorPrefixEquals(p, key)) return p;
  }
  return nullptr;
}

void SplitSegments(char* line) {
  bool inQuotes = false;
  for (char* q = line;; ++q) {
    const char c = *q;
    if (c == '"') {
      *q = 0;
      inQuotes = !inQuotes;
    } else if (!inQuotes && (c == ' ' || c == '=')) {
      *q = 0;
    }
    if (c == 0) break;
  }
}

std::vector<const char*> LineSegments(const char* line, size_t length) {
  std::vector<const char*> segments;
  segments.push_back(line);
  for (const char* p = NextSegment(line, line, length + 1); p != nullptr;
       p = NextSegment(p, line, length + 1)) {
    segments.push_back(p);
  }
  return segments;
}

uint32_t ParseHexValue(const char* text) {
  const char* p = text;
  while (IsParseBlank(*p)) ++p;
  size_t len = strlen(p);
  while (len > 0 && IsParseBlank(p[len - 1])) --len;
  if (len < 3 || p[0] != '0' || (p[1] != 'x' && p[1] != 'X') || HexDigit(p[2]) < 0) return 0;
  uint64_t value = 0;
  for (size_t i = 2; i < len && HexDigit(p[i]) >= 0; ++i) {
    value = (value << 4) | static_cast<uint64_t>(HexDigit(p[i]));
  }
  return static_cast<uint32_t>(value);
}

int32_t ParseDecimal32(const char* text) {
  const char* p = text;
  while (IsParseBlank(*p) || *p == 12) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  uint64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value < (1ull << 40)) value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  if (negative) value = 0 - value;
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

std::u16string DescriptorTextToUtf16(const char* text) {
  std::u16string out;
  if (text == nullptr) return out;
  if (DecodeUtf8(reinterpret_cast<const unsigned char*>(text), &out)) return out;
  out.clear();
  for (const unsigned char* s = reinterpret_cast<const unsigned char*>(text); *s; ++s) out.push_back(*s);
  return out;
}

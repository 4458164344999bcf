// UTF-16 string helpers and the Windows-convention printf formatter.
#include "platform/wstr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <locale.h>
#include <wctype.h>

extern "C" {

size_t WStrLen(const WCHAR* s) {
  if (!s) return 0;
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

WCHAR* WStrCopy(WCHAR* dst, size_t size, const WCHAR* src) {
  if (!dst || size == 0) return dst;
  size_t i = 0;
  if (src)
    for (; i + 1 < size && src[i]; ++i) dst[i] = src[i];
  dst[i] = 0;
  return dst;
}

WCHAR* WStrAppend(WCHAR* dst, size_t size, const WCHAR* src) {
  if (!dst || size == 0) return dst;
  size_t n = 0;
  while (n < size && dst[n]) ++n;
  if (n >= size) {  // unterminated destination: terminate it at the end
    dst[size - 1] = 0;
    return dst;
  }
  WStrCopy(dst + n, size - n, src);
  return dst;
}

int WStrNCmp(const WCHAR* a, const WCHAR* b, size_t n) {
  static const WCHAR empty[1] = {0};
  if (!a) a = empty;
  if (!b) b = empty;
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    if (!a[i]) return 0;
  }
  return 0;
}

int WStrCmp(const WCHAR* a, const WCHAR* b) { return WStrNCmp(a, b, SIZE_MAX); }

static inline WCHAR FoldAZ(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c; }

int WStrNICmpAZ(const WCHAR* a, const WCHAR* b, size_t n) {
  static const WCHAR empty[1] = {0};
  if (!a) a = empty;
  if (!b) b = empty;
  for (size_t i = 0; i < n; ++i) {
    WCHAR x = FoldAZ(a[i]), y = FoldAZ(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
  return 0;
}

int WStrICmpAZ(const WCHAR* a, const WCHAR* b) { return WStrNICmpAZ(a, b, SIZE_MAX); }

WCHAR WCharUpper(WCHAR c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;  // surrogate halves stay as they are
  // The full Unicode mapping, whatever locale the host process runs in.
  static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  wint_t u = utf8 ? towupper_l(static_cast<wint_t>(c), utf8) : towupper(static_cast<wint_t>(c));
  return u > 0xFFFF ? c : static_cast<WCHAR>(u);
}

WCHAR* WStrUpper(WCHAR* s) {
  if (!s) return s;
  for (WCHAR* p = s; *p; ++p) *p = WCharUpper(*p);
  return s;
}

const WCHAR* WStrRChr(const WCHAR* s, WCHAR c) {
  if (!s) return nullptr;
  const WCHAR* last = nullptr;
  for (; *s; ++s)
    if (*s == c) last = s;
  return c == 0 ? s : last;
}

WCHAR* WStrDup(const WCHAR* s) {
  if (!s) return nullptr;
  size_t n = WStrLen(s) + 1;
  WCHAR* d = static_cast<WCHAR*>(malloc(n * sizeof(WCHAR)));
  if (d) memcpy(d, s, n * sizeof(WCHAR));
  return d;
}

}  // extern "C"

// ---- UTF conversions --------------------------------------------------------------------------

// Decodes one UTF-8 sequence at s[i]; an invalid byte decodes as itself (Latin-1) so nothing is lost.
static uint32_t DecodeUtf8(const unsigned char* s, size_t n, size_t* i) {
  unsigned char c = s[*i];
  if (c < 0x80) { ++*i; return c; }
  int len = (c >= 0xF0 && c <= 0xF4) ? 4 : (c >= 0xE0) ? 3 : (c >= 0xC2 && c <= 0xDF) ? 2 : 0;
  if (len && *i + len <= n) {
    uint32_t cp = c & (0xFF >> (len + 1));
    bool ok = true;
    for (int k = 1; k < len; ++k) {
      unsigned char d = s[*i + k];
      if ((d & 0xC0) != 0x80) { ok = false; break; }
      cp = (cp << 6) | (d & 0x3F);
    }
    if (ok && !(len == 3 && cp < 0x800) && !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) &&
        !(cp >= 0xD800 && cp <= 0xDFFF)) {
      *i += len;
      return cp;
    }
  }
  ++*i;
  return c;
}

static void AppendUtf16(std::u16string& out, uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

static void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0; i < s.size();) AppendUtf16(out, DecodeUtf8(p, s.size(), &i));
  return out;
}

static std::string Utf16ToUtf8N(const WCHAR* s, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::string Utf16ToUtf8(const WCHAR* s) { return s ? Utf16ToUtf8N(s, WStrLen(s)) : std::string(); }
std::string Utf16ToUtf8(const std::u16string& s) { return Utf16ToUtf8N(s.data(), s.size()); }

// ---- the formatter ----------------------------------------------------------------------------

namespace {

// Collects output units, keeping at most size-1 of them and counting all.
template <class Ch>
struct Sink {
  Ch* buf;
  size_t size;
  size_t count = 0;
  void put(Ch c) {
    if (buf && size && count + 1 < size) buf[count] = c;
    ++count;
  }
  void finish() {
    if (buf && size) buf[count < size ? count : size - 1] = 0;
  }
};

struct Conversion {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;
  enum Size { kDefault, kShort, kChar, kLong32, kLong64, kPtr } size = kDefault;
  bool wideFlag = false, narrowFlag = false;  // w/l and h for strings and characters
};

template <class Ch>
void PutPadded(Sink<Ch>& out, const std::u16string& body, const Conversion& sp, bool numeric, size_t signLen) {
  // body already holds sign/prefix and digits; zero padding goes after the sign/prefix.
  size_t len = body.size();
  size_t pad = sp.width > 0 && static_cast<size_t>(sp.width) > len ? sp.width - len : 0;
  if (!sp.left && !(sp.zero && numeric)) for (size_t i = 0; i < pad; ++i) out.put(' ');
  for (size_t i = 0; i < signLen; ++i) out.put(static_cast<Ch>(body[i]));
  if (!sp.left && sp.zero && numeric) for (size_t i = 0; i < pad; ++i) out.put('0');
  for (size_t i = signLen; i < len; ++i) out.put(static_cast<Ch>(body[i]));
  if (sp.left) for (size_t i = 0; i < pad; ++i) out.put(' ');
}

template <class Ch>
void PutText(Sink<Ch>& out, const std::u16string& text, const Conversion& sp) {
  std::u16string t = text;
  if (sp.precision >= 0 && static_cast<size_t>(sp.precision) < t.size()) t.resize(sp.precision);
  PutPadded(out, t, sp, false, 0);
}

// Appends a string argument in the sink's own unit type (UTF-16 units for wide sinks, UTF-8
// bytes for narrow ones), honouring precision in source units.
inline void PutStrWide(Sink<WCHAR>& out, const WCHAR* s, const char* n, const Conversion& sp) {
  std::u16string t;
  if (s) {
    size_t len = WStrLen(s);
    if (sp.precision >= 0 && static_cast<size_t>(sp.precision) < len) len = sp.precision;
    t.assign(s, len);
  } else if (n) {
    size_t len = strlen(n);
    if (sp.precision >= 0 && static_cast<size_t>(sp.precision) < len) len = sp.precision;
    t = Utf8ToUtf16(std::string(n, len));
  } else {
    t = u"(null)";
  }
  Conversion s2 = sp;
  s2.precision = -1;
  PutText(out, t, s2);
}

inline void PutStrNarrow(Sink<char>& out, const WCHAR* s, const char* n, const Conversion& sp) {
  std::string t;
  if (n) {
    size_t len = strlen(n);
    if (sp.precision >= 0 && static_cast<size_t>(sp.precision) < len) len = sp.precision;
    t.assign(n, len);
  } else if (s) {
    size_t len = WStrLen(s);
    if (sp.precision >= 0 && static_cast<size_t>(sp.precision) < len) len = sp.precision;
    t = Utf16ToUtf8N(s, len);
  } else {
    t = "(null)";
  }
  size_t pad = sp.width > 0 && static_cast<size_t>(sp.width) > t.size() ? sp.width - t.size() : 0;
  if (!sp.left) for (size_t i = 0; i < pad; ++i) out.put(' ');
  for (char c : t) out.put(c);
  if (sp.left) for (size_t i = 0; i < pad; ++i) out.put(' ');
}

std::u16string FormatInteger(uint64_t mag, bool negative, int base, bool upper, const Conversion& sp,
                             size_t* signLen) {
  std::u16string digits;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  if (mag == 0) {
    if (sp.precision != 0) digits = u"0";
  } else {
    while (mag) { digits.insert(digits.begin(), static_cast<char16_t>(set[mag % base])); mag /= base; }
  }
  if (sp.precision > 0 && digits.size() < static_cast<size_t>(sp.precision))
    digits.insert(0, sp.precision - digits.size(), u'0');
  std::u16string prefix;
  if (negative) prefix = u"-";
  else if (sp.plus && base == 10) prefix = u"+";
  else if (sp.space && base == 10) prefix = u" ";
  if (sp.alt && base == 16 && !digits.empty() && digits != u"0") prefix += upper ? u"0X" : u"0x";
  if (sp.alt && base == 8 && (digits.empty() || digits[0] != u'0')) prefix += u"0";
  *signLen = prefix.size();
  return prefix + digits;
}

template <class Ch>
int FormatCore(Ch* buf, size_t size, const Ch* fmt, va_list ap) {
  Sink<Ch> out{buf, size};
  constexpr bool kWide = sizeof(Ch) == 2;
  for (const Ch* p = fmt; p && *p; ++p) {
    if (*p != '%') { out.put(*p); continue; }
    const Ch* start = p;
    ++p;
    if (*p == '%') { out.put('%'); continue; }
    Conversion sp;
    for (;; ++p) {
      if (*p == '-') sp.left = true;
      else if (*p == '+') sp.plus = true;
      else if (*p == ' ') sp.space = true;
      else if (*p == '#') sp.alt = true;
      else if (*p == '0') sp.zero = true;
      else break;
    }
    if (*p == '*') {
      sp.width = va_arg(ap, int);
      if (sp.width < 0) { sp.left = true; sp.width = -sp.width; }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') { sp.width = sp.width * 10 + (*p - '0'); if (sp.width > 100000) sp.width = 100000; ++p; }
    }
    if (*p == '.') {
      ++p;
      sp.precision = 0;
      if (*p == '*') { sp.precision = va_arg(ap, int); if (sp.precision < 0) sp.precision = -1; ++p; }
      else while (*p >= '0' && *p <= '9') { sp.precision = sp.precision * 10 + (*p - '0'); if (sp.precision > 100000) sp.precision = 100000; ++p; }
    }
    // Size prefixes, Windows style: l is 32 bits; ll, I64, j, z, t and I are 64 bits.
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') { sp.size = Conversion::kLong64; p += 3; }
    else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') { sp.size = Conversion::kLong32; p += 3; }
    else if (p[0] == 'I') { sp.size = Conversion::kPtr; ++p; }
    else if (p[0] == 'l' && p[1] == 'l') { sp.size = Conversion::kLong64; p += 2; }
    else if (p[0] == 'h' && p[1] == 'h') { sp.size = Conversion::kChar; sp.narrowFlag = true; p += 2; }
    else if (p[0] == 'l') { sp.size = Conversion::kLong32; sp.wideFlag = true; ++p; }
    else if (p[0] == 'w') { sp.wideFlag = true; ++p; }
    else if (p[0] == 'h') { sp.size = Conversion::kShort; sp.narrowFlag = true; ++p; }
    else if (p[0] == 'j' || p[0] == 'z' || p[0] == 't' || p[0] == 'L' || p[0] == 'q') { sp.size = Conversion::kLong64; ++p; }
    Ch conv = *p;
    if (!conv) { for (const Ch* q = start; *q; ++q) out.put(*q); break; }
    switch (conv) {
      case 'd': case 'i': {
        int64_t v;
        if (sp.size == Conversion::kLong64 || sp.size == Conversion::kPtr) v = va_arg(ap, int64_t);
        else {
          int32_t x = va_arg(ap, int32_t);
          if (sp.size == Conversion::kShort) x = static_cast<int16_t>(x);
          else if (sp.size == Conversion::kChar) x = static_cast<int8_t>(x);
          v = x;
        }
        bool neg = v < 0;
        uint64_t mag = neg ? static_cast<uint64_t>(0) - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        size_t signLen;
        Conversion s2 = sp;
        if (sp.precision >= 0) s2.zero = false;
        std::u16string body = FormatInteger(mag, neg, 10, false, s2, &signLen);
        PutPadded(out, body, s2, true, signLen);
        break;
      }
      case 'u': case 'x': case 'X': case 'o': {
        uint64_t v;
        if (sp.size == Conversion::kLong64 || sp.size == Conversion::kPtr) v = va_arg(ap, uint64_t);
        else {
          uint32_t x = va_arg(ap, uint32_t);
          if (sp.size == Conversion::kShort) x = static_cast<uint16_t>(x);
          else if (sp.size == Conversion::kChar) x = static_cast<uint8_t>(x);
          v = x;
        }
        int base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
        size_t signLen;
        Conversion s2 = sp;
        if (sp.precision >= 0) s2.zero = false;
        std::u16string body = FormatInteger(v, false, base, conv == 'X', s2, &signLen);
        PutPadded(out, body, s2, true, signLen);
        break;
      }
      case 'p': {
        uintptr_t v = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
        Conversion s2 = sp;
        s2.precision = 16;
        s2.alt = false;
        size_t signLen;
        std::u16string body = FormatInteger(v, false, 16, true, s2, &signLen);
        PutPadded(out, body, s2, true, signLen);
        break;
      }
      case 'c': case 'C': {
        int v = va_arg(ap, int);
        // In a wide format %c is a wide character and %hc a narrow one; %C swaps them.
        bool wideChar = kWide ? !sp.narrowFlag : sp.wideFlag;
        if (conv == 'C') wideChar = kWide ? sp.wideFlag : !sp.narrowFlag;
        std::u16string t;
        if (wideChar) t.push_back(static_cast<char16_t>(v & 0xFFFF));
        else t.push_back(static_cast<char16_t>(v & 0xFF));
        if constexpr (kWide) {
          PutText(out, t, Conversion{sp.left, false, false, false, false, sp.width, -1});
        } else {
          std::string n = Utf16ToUtf8(t);
          Conversion s2 = sp;
          s2.precision = -1;
          PutStrNarrow(out, nullptr, n.c_str(), s2);
        }
        break;
      }
      case 's': case 'S': {
        void* arg = va_arg(ap, void*);
        // In a wide format %s is UTF-16 and %hs 8-bit; in an 8-bit format %s is 8-bit and
        // %ls/%ws UTF-16; %S takes the other width.
        bool wideStr = kWide ? !sp.narrowFlag : sp.wideFlag;
        if (conv == 'S') wideStr = kWide ? sp.wideFlag : !sp.narrowFlag;
        const WCHAR* ws = wideStr ? static_cast<const WCHAR*>(arg) : nullptr;
        const char* ns = wideStr ? nullptr : static_cast<const char*>(arg);
        if constexpr (kWide) PutStrWide(out, ws, ns, sp);
        else PutStrNarrow(out, ws, ns, sp);
        break;
      }
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': {
        double v = va_arg(ap, double);
        char f[32], tmp[512];
        snprintf(f, sizeof f, "%%%s%s%s%s%s*.*%c", sp.left ? "-" : "", sp.plus ? "+" : "",
                 sp.space ? " " : "", sp.alt ? "#" : "", sp.zero ? "0" : "", static_cast<char>(conv));
        snprintf(tmp, sizeof tmp, f, sp.width > 400 ? 400 : sp.width, sp.precision < 0 ? 6 : (sp.precision > 60 ? 60 : sp.precision), v);
        for (char* q = tmp; *q; ++q) out.put(static_cast<Ch>(*q));
        break;
      }
      case 'n':
        (void)va_arg(ap, void*);  // never written through: a format must not write memory
        break;
      default:
        // Unknown conversion: copy it literally, consuming nothing.
        for (const Ch* q = start; q <= p; ++q) out.put(*q);
        break;
    }
  }
  out.finish();
  return out.count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(out.count);
}

}  // namespace

extern "C" {

int WStrFormatV(WCHAR* buf, size_t size, const WCHAR* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = FormatCore<WCHAR>(buf, size, fmt, copy);
  va_end(copy);
  return n;
}

int WStrFormat(WCHAR* buf, size_t size, const WCHAR* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = WStrFormatV(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

int AStrFormatV(char* buf, size_t size, const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = FormatCore<char>(buf, size, fmt, copy);
  va_end(copy);
  return n;
}

int AStrFormat(char* buf, size_t size, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = AStrFormatV(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

}  // extern "C"

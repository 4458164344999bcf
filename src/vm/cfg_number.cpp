// Numbers in configuration values: decimal, hexadecimal ("0x1F" or "1Fh"), signed, and the
// words yes/no, true/false, on/off; and the reverse formatting that keeps a value's style.
#include <cwctype>
#include "vm/cfg_ball.h"
#include "vm/cfg_text.h"

namespace {

WCHAR Upper(WCHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 32) : c; }

// Whether v[0, n) begins with the ASCII word w, ignoring case.
bool BeginsWith(const WCHAR* v, uint64_t n, const char* w) {
  uint64_t i = 0;
  for (; w[i]; ++i)
    if (i >= n || Upper(v[i]) != Upper(static_cast<WCHAR>(w[i]))) return false;
  return true;
}

int HexDigit(WCHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDecimal(WCHAR c) { return c >= '0' && c <= '9'; }

bool Word(const WCHAR* v, uint64_t n, uint64_t* value, uint32_t* kind) {
  switch (Upper(v[0])) {
    case 'F':
      if (n == 1 || BeginsWith(v, n, "false")) return *value = 0, *kind = CfgTrueFalse, true;
      return false;
    case 'T':
      if (n == 1 || BeginsWith(v, n, "true")) return *value = 1, *kind = CfgTrueFalse, true;
      return false;
    case 'N':
      if (n == 1 || BeginsWith(v, n, "no")) return *value = 0, *kind = CfgYesNo, true;
      return false;
    case 'Y':
      if (n == 1 || BeginsWith(v, n, "yes")) return *value = 1, *kind = CfgYesNo, true;
      return false;
    case 'O':
      if (BeginsWith(v, n, "on")) return *value = 1, *kind = CfgOnOff, true;
      if (BeginsWith(v, n, "off")) return *value = 0, *kind = CfgOnOff, true;
      return false;
    default:
      return false;
  }
}

}  // namespace

uint64_t CfgParseNumber(const WCHAR* v, uint64_t length, uint32_t* kind) {
  uint64_t n = 0;
  while (n < length && v[n] != 0) ++n;
  uint64_t s = 0;
  while (s < n && iswspace(static_cast<wint_t>(v[s]))) ++s;
  while (n > s && iswspace(static_cast<wint_t>(v[n - 1]))) --n;
  v += s;
  n -= s;
  *kind = 0;
  if (n == 0) return 0;
  uint64_t value = 0;
  if (Word(v, n, &value, kind)) return value;

  uint64_t i = 0;
  if (v[0] == '-') {
    *kind |= CfgSigned;
    i = 1;
  } else if (v[0] == '+') {
    i = 1;
  }
  bool hex = false;
  if (n - i >= 3 && v[i] == '0' && (v[i + 1] == 'x' || v[i + 1] == 'X') && HexDigit(v[i + 2]) >= 0) {
    hex = true;
    i += 2;
  } else if (n - i >= 2 && IsDecimal(v[i])) {
    uint64_t j = i + 1;
    while (j < n && HexDigit(v[j]) >= 0) ++j;
    hex = j < n && (v[j] == 'h' || v[j] == 'H');
  }
  if (hex) *kind |= CfgHex;
  for (; i < n; ++i) {
    if (hex) {
      int d = HexDigit(v[i]);
      if (d < 0) break;
      value = value * 16 + static_cast<uint64_t>(d);
    } else {
      if (!IsDecimal(v[i])) break;
      value = value * 10 + static_cast<uint64_t>(v[i] - '0');
    }
  }
  if (*kind & CfgSigned) value = 0 - value;
  return value;
}

uint64_t CfgFormatNumber(uint64_t value, uint32_t kind, WCHAR* out) {
  const char* word = nullptr;
  if (value == 1) {
    word = (kind & CfgYesNo) ? "yes" : (kind & CfgTrueFalse) ? "true" : (kind & CfgOnOff) ? "on" : nullptr;
  } else if (value == 0) {
    word = (kind & CfgYesNo) ? "no" : (kind & CfgTrueFalse) ? "false" : (kind & CfgOnOff) ? "off" : nullptr;
  }
  uint64_t n = 0;
  if (word) {
    for (; word[n]; ++n) out[n] = static_cast<WCHAR>(word[n]);
    return n;
  }
  WCHAR digits[24];
  uint64_t count = 0;
  if (kind & CfgHex) {
    out[n++] = '0';
    out[n++] = 'x';
    do {
      digits[count++] = static_cast<WCHAR>("0123456789ABCDEF"[value & 15]);
      value >>= 4;
    } while (value);
  } else {
    if ((kind & CfgSigned) && static_cast<int64_t>(value) < 0) {
      out[n++] = '-';
      value = 0 - value;
    }
    do {
      digits[count++] = static_cast<WCHAR>('0' + value % 10);
      value /= 10;
    } while (value);
  }
  while (count) out[n++] = digits[--count];
  return n;
}

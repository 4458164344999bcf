// CfgBall: text buffer management, reads, and the edits that rewrite only the lines concerned.
#include "vm/cfg_ball.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include "vm/cfg_text.h"

namespace {

constexpr uint64_t kGrowth = 1000;

class Hold {
 public:
  explicit Hold(OwnedLock& lock) : m_Lock(lock) { m_Lock.Enter(); }
  ~Hold() { m_Lock.Leave(); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  OwnedLock& m_Lock;
};

uint64_t Length(const WCHAR* s) {
  uint64_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

const WCHAR kEmpty[1] = {0};
inline const WCHAR* OrEmpty(const WCHAR* s) { return s ? s : kEmpty; }

}  // namespace

CfgBall* CreateCfgBall() {
  CfgBall* ball = new (std::nothrow) CfgBall();
  if (!ball) return nullptr;
  ball->m_Text = static_cast<WCHAR*>(malloc(kGrowth * sizeof(WCHAR)));
  if (!ball->m_Text) {
    ball->Release();
    return nullptr;
  }
  ball->m_Capacity = kGrowth;
  return ball;
}

CfgBall::~CfgBall() { free(m_Text); }

uint32_t CfgBall::AddRef() { return InterlockedIncrement(&m_RefCount); }

void CfgBall::Release() {
  if (InterlockedDecrement(&m_RefCount) == 0) delete this;
}

bool CfgBall::Reserve(uint64_t n) {
  if (n <= m_Capacity) return true;
  if (n > (SIZE_MAX / sizeof(WCHAR)) - kGrowth) return false;
  uint64_t grown = n + kGrowth;
  void* p = realloc(m_Text, grown * sizeof(WCHAR));
  if (!p) return false;
  m_Text = static_cast<WCHAR*>(p);
  m_Capacity = grown;
  return true;
}

WCHAR* CfgBall::Splice(uint64_t start, uint64_t end, uint64_t count) {
  uint64_t tail = m_Length - end;
  if (tail) memmove(m_Text + start + count, m_Text + end, tail * sizeof(WCHAR));
  m_Length = start + count + tail;
  return m_Text + start;
}

void CfgBall::Clear() {
  Hold hold(m_Lock);
  m_Length = 0;
}

uint64_t CfgBall::GetText(WCHAR* buffer, uint64_t capacity) {
  Hold hold(m_Lock);
  if (!buffer || capacity == 0) return m_Length;
  uint64_t n = capacity < m_Length ? capacity : m_Length;
  if (n) memcpy(buffer, m_Text, n * sizeof(WCHAR));
  return n;
}

uint64_t CfgBall::GetTextUtf8(uint8_t* bytes, uint64_t capacity) {
  Hold hold(m_Lock);
  return CfgEncodeUtf8(m_Text, m_Length, bytes, bytes ? capacity : 0);
}

bool CfgBall::SetText(const WCHAR* text, uint64_t length) {
  Hold hold(m_Lock);
  if (!text) length = 0;
  if (!Reserve(length)) return false;
  if (length) memmove(m_Text, text, length * sizeof(WCHAR));
  m_Length = length;
  return true;
}

bool CfgBall::SetTextUtf8(const uint8_t* bytes, uint64_t length) {
  Hold hold(m_Lock);
  if (!bytes) return false;
  if (length == kCfgNulTerminated) length = strlen(reinterpret_cast<const char*>(bytes));
  uint64_t units = CfgDecodeUtf8(bytes, length, nullptr, 0);
  if (!Reserve(units)) return false;
  m_Length = CfgDecodeUtf8(bytes, length, m_Text, units);
  return true;
}

bool CfgBall::DeleteSection(const WCHAR* section) {
  Hold hold(m_Lock);
  if (!section) return false;
  CfgScanResult r;
  CfgScan(m_Text, m_Length, section, Length(section), nullptr, 0, false, &r);
  if (!r.sectionStartSet || !r.sectionEndSet || r.sectionEnd <= r.sectionStart) return false;
  uint64_t start = r.sectionStart;
  if (r.sectionEnd == m_Length) {
    // Blank lines in front of a last section go with it: back to the end of the last
    // non-blank line.
    uint64_t q = start;
    while (q > 0 && CfgIsSpace(m_Text[q - 1])) --q;
    for (uint64_t i = q; i < start; ++i)
      if (m_Text[i] == 10) {
        start = i + 1;
        break;
      }
  }
  Splice(start, r.sectionEnd, 0);
  return true;
}

bool CfgBall::DeleteKey(const WCHAR* section, const WCHAR* key) {
  Hold hold(m_Lock);
  section = OrEmpty(section);
  key = OrEmpty(key);
  CfgScanResult r;
  CfgScan(m_Text, m_Length, section, Length(section), key, Length(key), false, &r);
  if (!r.keyFound) return false;
  Splice(r.lineStart, r.lineEnd, 0);
  return true;
}

CfgBallEnum* CfgBall::Enumerate(const WCHAR* section, bool sections) {
  CfgScanResult r;
  {
    Hold hold(m_Lock);
    if (sections)
      CfgScan(m_Text, m_Length, nullptr, 0, nullptr, 0, true, &r);
    else
      CfgScan(m_Text, m_Length, OrEmpty(section), Length(section), nullptr, 0, true, &r);
  }
  if (r.collectFailed) return nullptr;
  CfgBallEnum* e = new (std::nothrow) CfgBallEnum(r.names, r.namesTotal);
  if (!e) free(r.names);
  return e;
}

CfgBallEnum* CfgBall::EnumSections() { return Enumerate(nullptr, true); }

CfgBallEnum* CfgBall::EnumKeys(const WCHAR* section) { return Enumerate(section, false); }

uint64_t CfgBall::GetValueLength(const WCHAR* section, const WCHAR* key) {
  Hold hold(m_Lock);
  if (!section || !key) return 0;
  CfgScanResult r;
  CfgScan(m_Text, m_Length, section, Length(section), key, Length(key), false, &r);
  return r.keyFound ? r.valueEnd - r.valueStart + 1 : 0;
}

bool CfgBall::GetString(const WCHAR* section, const WCHAR* key, WCHAR* buffer, uint64_t capacity) {
  Hold hold(m_Lock);
  section = OrEmpty(section);
  key = OrEmpty(key);
  CfgScanResult r;
  CfgScan(m_Text, m_Length, section, Length(section), key, Length(key), false, &r);
  if (!r.keyFound) return false;
  if (buffer && capacity) {
    uint64_t n = r.valueEnd - r.valueStart;
    if (n > capacity - 1) n = capacity - 1;
    if (n) memcpy(buffer, m_Text + r.valueStart, n * sizeof(WCHAR));
    buffer[n] = 0;
  }
  return true;
}

bool CfgBall::GetNumber(const WCHAR* section, const WCHAR* key, int32_t width, void* out) {
  Hold hold(m_Lock);
  section = OrEmpty(section);
  key = OrEmpty(key);
  CfgScanResult r;
  CfgScan(m_Text, m_Length, section, Length(section), key, Length(key), false, &r);
  if (!r.keyFound) return false;
  if (!out) return true;
  uint32_t kind = 0;
  uint64_t v = CfgParseNumber(m_Text + r.valueStart, r.valueEnd - r.valueStart, &kind);
  switch (width) {
    case 64:
    case -64:
      memcpy(out, &v, 8);
      return true;
    case 32:
    case -32: {
      uint32_t x = static_cast<uint32_t>(v);
      memcpy(out, &x, 4);
      return true;
    }
    case 16:
    case -16: {
      uint16_t x = static_cast<uint16_t>(v);
      memcpy(out, &x, 2);
      return true;
    }
    case 8:
    case -8:
      *static_cast<uint8_t*>(out) = static_cast<uint8_t>(v);
      return true;
    case 1:
      *static_cast<uint8_t*>(out) = v != 0 ? 1 : 0;
      return true;
    default:
      return false;
  }
}

bool CfgBall::SetString(const WCHAR* section, const WCHAR* key, const WCHAR* value) {
  return Edit(section, key, OrEmpty(value), false, 0, 0);
}

bool CfgBall::SetNumber(const WCHAR* section, const WCHAR* key, int32_t width, int64_t value) {
  return Edit(section, key, nullptr, true, width, value);
}

bool CfgBall::Edit(const WCHAR* section, const WCHAR* key, const WCHAR* value, bool number,
                   int32_t width, int64_t numberValue) {
  section = OrEmpty(section);
  key = OrEmpty(key);
  uint64_t sectionLength = Length(section);
  // The key without white space at either end.
  uint64_t keyLength = Length(key);
  while (keyLength && CfgIsSpace(*key)) ++key, --keyLength;
  while (keyLength && CfgIsSpace(key[keyLength - 1])) --keyLength;

  uint64_t valueLength = 0;
  bool quoted = false;
  uint32_t formatFlags = 0;
  uint64_t numberBits = static_cast<uint64_t>(numberValue);
  if (number) {
    if (width < 0) formatFlags = CfgSigned;
    if (width == 1 || width == -1) numberBits = numberValue != 0 ? 1 : 0;
    valueLength = kCfgNumberRoom;
  } else {
    valueLength = Length(value);
    if (valueLength) {
      WCHAR f = value[0], l = value[valueLength - 1];
      quoted = CfgIsSpace(f) || f == '"' || CfgIsSpace(l) || l == '"';
    }
  }

  Hold hold(m_Lock);
  // Room for the text, the new line (key, "=", value, quotes, CR LF), a new header and a CR LF.
  uint64_t lineRoom = keyLength + 1 + valueLength + 2 + 2;
  uint64_t need = m_Length + lineRoom + sectionLength + 6;
  if (need < m_Length || !Reserve(need)) return false;

  CfgScanResult r;
  CfgScan(m_Text, m_Length, section, sectionLength, key, keyLength, false, &r);

  WCHAR formatted[kCfgNumberRoom];
  if (number) {
    uint32_t flags = formatFlags;
    if (r.keyFound) {
      uint32_t oldKind = 0;
      CfgParseNumber(m_Text + r.valueStart, r.valueEnd - r.valueStart, &oldKind);
      flags |= oldKind & ~static_cast<uint32_t>(CfgSigned);
    }
    valueLength = CfgFormatNumber(numberBits, flags, formatted);
    value = formatted;
  }

  // The new line: key, then "=" and the value unless the value is empty, then CR LF.
  uint64_t n = keyLength + (valueLength ? 1 + valueLength + (quoted ? 2 : 0) : 0) + 2;
  auto writeLine = [&](WCHAR* line) {
    uint64_t k = 0;
    if (keyLength) memcpy(line, key, keyLength * sizeof(WCHAR));
    k += keyLength;
    if (valueLength) {
      line[k++] = '=';
      if (quoted) line[k++] = '"';
      memcpy(line + k, value, valueLength * sizeof(WCHAR));
      k += valueLength;
      if (quoted) line[k++] = '"';
    }
    line[k++] = 13;
    line[k++] = 10;
  };

  if (r.keyFound) {
    writeLine(Splice(r.lineStart, r.lineEnd, n));
    return true;
  }
  if (r.sectionEndSet) {
    uint64_t end = r.sectionEnd;
    uint64_t q = end;
    while (q > 0 && CfgIsSpace(m_Text[q - 1])) --q;
    uint64_t at = end;
    bool placed = false;
    if (q == 0) {
      at = 0;
      placed = true;
    } else {
      for (uint64_t i = q; i < end; ++i)
        if (m_Text[i] == 10) {
          at = i + 1;
          placed = true;
          break;
        }
    }
    if (!placed && at > 0 && m_Text[at - 1] != 10) {
      WCHAR* crlf = Splice(at, at, 2);
      crlf[0] = 13;
      crlf[1] = 10;
      at += 2;
    }
    writeLine(Splice(at, at, n));
    return true;
  }
  // A new section at the end of the text.
  WCHAR* p = m_Text + m_Length;
  *p++ = 13;
  *p++ = 10;
  *p++ = '[';
  memcpy(p, section, sectionLength * sizeof(WCHAR));
  p += sectionLength;
  *p++ = ']';
  *p++ = 13;
  *p++ = 10;
  m_Length += sectionLength + 6;
  writeLine(Splice(m_Length, m_Length, n));
  return true;
}

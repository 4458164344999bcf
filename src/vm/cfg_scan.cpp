// The scanner: one pass over the configuration text that finds a section's bounds, a key's line
// and value, and gathers section or key names for enumerators.
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include "vm/cfg_text.h"

namespace {

struct NameBlock {
  WCHAR* data = nullptr;
  uint64_t used = 0;
  uint64_t capacity = 0;
  bool failed = false;

  void Append(const WCHAR* name, uint64_t length) {
    if (failed) return;
    if (capacity - used < length + 1) {
      uint64_t grown = used + length + 1001;
      void* p = grown > SIZE_MAX / sizeof(WCHAR) ? nullptr : realloc(data, grown * sizeof(WCHAR));
      if (!p) {
        Fail();
        return;
      }
      data = static_cast<WCHAR*>(p);
      capacity = grown;
    }
    if (length) memcpy(data + used, name, length * sizeof(WCHAR));
    data[used + length] = 0;
    used += length + 1;
  }
  void Fail() {
    free(data);
    data = nullptr;
    used = capacity = 0;
    failed = true;
  }
  // Shrinks the block to its used size (a failed shrink keeps the larger block).
  void Finish() {
    if (failed || !data) return;
    if (used == 0) {
      free(data);
      data = nullptr;
      return;
    }
    if (void* p = realloc(data, used * sizeof(WCHAR))) data = static_cast<WCHAR*>(p);
  }
};

}  // namespace

bool CfgNameEquals(const WCHAR* a, uint64_t aLength, const WCHAR* b, uint64_t bLength) {
  if (aLength != bLength) return false;
  for (uint64_t i = 0; i < aLength; ++i)
    if (a[i] != b[i] && towupper(static_cast<wint_t>(a[i])) != towupper(static_cast<wint_t>(b[i])))
      return false;
  return true;
}

void CfgScan(const WCHAR* text, uint64_t length, const WCHAR* section, uint64_t sectionLength,
             const WCHAR* key, uint64_t keyLength, bool collect, CfgScanResult* r) {
  *r = CfgScanResult();
  NameBlock block;
  bool inside = false;
  if (section && sectionLength == 0) {
    r->sectionStart = 0;
    r->sectionStartSet = true;
    inside = true;
  }
  uint64_t pos = 0;
  while (pos < length) {
    if (r->keyFound && r->sectionEndSet) break;
    uint64_t lineStart = pos;
    uint64_t lineEnd = pos;
    while (lineEnd < length && text[lineEnd] != 10) ++lineEnd;
    if (lineEnd < length) ++lineEnd;  // past the line feed
    pos = lineEnd;

    uint64_t ts = lineStart, te = lineEnd;
    while (ts < te && CfgIsSpace(text[ts])) ++ts;
    while (te > ts && CfgIsSpace(text[te - 1])) --te;
    if (ts == te) continue;
    WCHAR first = text[ts];
    if (first == '#' || first == ';') continue;

    if (first == '[') {
      uint64_t nameStart = ts + 1, nameEnd = nameStart;
      while (nameEnd < te && text[nameEnd] != ']') ++nameEnd;
      bool closed = nameEnd < te;
      if (section) {
        if (closed && CfgNameEquals(text + nameStart, nameEnd - nameStart, section, sectionLength)) {
          r->sectionStart = lineStart;
          r->sectionStartSet = true;
          inside = true;
        } else {
          if (inside && !r->sectionEndSet) {
            r->sectionEnd = lineStart;
            r->sectionEndSet = true;
          }
          inside = false;
        }
      } else if (collect) {
        block.Append(text + nameStart, nameEnd - nameStart);
      }
      continue;
    }

    if (!inside || r->keyFound) continue;
    uint64_t eq = ts;
    while (eq < te && text[eq] != '=') ++eq;
    uint64_t keyEnd = eq;
    while (keyEnd > ts && CfgIsSpace(text[keyEnd - 1])) --keyEnd;
    if (keyEnd == ts) continue;  // the line starts with "="
    if (!key) {
      if (collect) block.Append(text + ts, keyEnd - ts);
      continue;
    }
    if (!CfgNameEquals(text + ts, keyEnd - ts, key, keyLength)) continue;
    uint64_t vs = te, ve = te;
    if (eq < te) {
      vs = eq + 1;
      while (vs < te && CfgIsSpace(text[vs])) ++vs;
    }
    if (ve - vs >= 2 && text[vs] == '"' && text[ve - 1] == '"') {
      ++vs;
      --ve;
    }
    r->keyFound = true;
    r->lineStart = lineStart;
    r->lineEnd = lineEnd;
    r->valueStart = vs;
    r->valueEnd = ve;
  }
  if (inside) {
    r->sectionEnd = length;
    r->sectionEndSet = true;
  }
  if (collect) {
    block.Finish();
    r->names = block.data;
    r->namesTotal = block.used;
    r->collectFailed = block.failed;
  }
}

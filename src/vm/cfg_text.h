// The pieces CfgBall is built from: the scanner over the text grammar, number parsing and
// formatting, and the UTF-8 codec. Plain functions over caller-owned buffers.
#pragma once
#include <cstdint>
#include "vmpeek/types.h"

// White space of the text grammar: NUL, tab, line feed, carriage return and space.
inline bool CfgIsSpace(WCHAR c) { return c == 0 || c == 9 || c == 10 || c == 13 || c == 32; }

struct CfgScanResult {
  bool keyFound = false;
  bool sectionStartSet = false;
  bool sectionEndSet = false;
  uint64_t sectionStart = 0;
  uint64_t sectionEnd = 0;
  uint64_t lineStart = 0;   // of the found key's line
  uint64_t lineEnd = 0;     // just past its line feed (or the end of the text)
  uint64_t valueStart = 0;
  uint64_t valueEnd = 0;
  // Collected names (malloc'd, NUL after each) and their total in units; collectFailed when the
  // block could not grow (it is then freed).
  WCHAR* names = nullptr;
  uint64_t namesTotal = 0;
  bool collectFailed = false;
};

// One pass over text[0, length). section null: not given; key null: not given (keyLength ignored).
// With collect, header names (section not given) or key names (section given, key not given)
// are gathered into result->names.
void CfgScan(const WCHAR* text, uint64_t length, const WCHAR* section, uint64_t sectionLength,
             const WCHAR* key, uint64_t keyLength, bool collect, CfgScanResult* result);

// Case-insensitive equality of two names (towupper on each unit, equal lengths).
bool CfgNameEquals(const WCHAR* a, uint64_t aLength, const WCHAR* b, uint64_t bLength);

// Parses a value (up to `length` units or its first NUL); *kind receives the CfgKind flags.
uint64_t CfgParseNumber(const WCHAR* value, uint64_t length, uint32_t* kind);
// Formats value by the kind flags into out (room for kCfgNumberRoom units); returns the length.
constexpr uint64_t kCfgNumberRoom = 30;
uint64_t CfgFormatNumber(uint64_t value, uint32_t kind, WCHAR* out);

// Decodes UTF-8, dropping malformed bytes. With out null only counts; returns the units produced
// (at most outCapacity are written).
uint64_t CfgDecodeUtf8(const uint8_t* bytes, uint64_t length, WCHAR* out, uint64_t outCapacity);
// Encodes UTF-16 as UTF-8, writing whole sequences while they fit in capacity; returns the bytes
// of the whole encoding.
uint64_t CfgEncodeUtf8(const WCHAR* text, uint64_t length, uint8_t* out, uint64_t capacity);

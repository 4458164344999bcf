// Descriptor text primitives. The descriptor is held as one byte buffer whose CR and LF bytes
// were replaced by zeros, so it is a run of zero-terminated lines; every search stays inside it
// and the buffer's last byte is always zero.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vmpeek/types.h"

// ASCII case-insensitive comparison of the first strlen(key) bytes of text with key.
bool DescriptorPrefixEquals(const char* text, const char* key);
// Whole-string ASCII case-insensitive comparison.
bool DescriptorEquals(const char* a, const char* b);

// The first line of the buffer that begins with key, or null.
const char* FindDescriptorLine(const char* buffer, size_t size, const char* key);
// The first non-zero byte after the string at p, or null when the bound is passed.
const char* NextSegment(const char* p, const char* buffer, size_t size);
// Cuts a line into segments in place: quotes, and blanks or '=' outside quotes, become zeros.
void SplitSegments(char* line);
// The segments of a line of `length` bytes (before splitting) after SplitSegments.
std::vector<const char*> LineSegments(const char* line, size_t length);

// The value of a CID line prepared as "  0x...": hexadecimal, low 32 bits; 0 when malformed.
uint32_t ParseHexValue(const char* text);
// A signed decimal 32-bit number: leading blanks, optional sign, digits up to a non-digit.
int32_t ParseDecimal32(const char* text);

// Descriptor text (UTF-8 when it is valid UTF-8, otherwise Latin-1) as UTF-16.
std::u16string DescriptorTextToUtf16(const char* text);

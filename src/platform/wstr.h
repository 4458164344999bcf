// UTF-16 string helpers. Sizes are in UTF-16 units; a null string counts as empty.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdarg>
#include <string>
#include "platform/export.h"
#include "vmpeek/types.h"

extern "C" {
VMPLAT_API size_t WStrLen(const WCHAR* s);                                  // 0 for null
// Copies at most size-1 units, always terminates a destination of non-zero size.
VMPLAT_API WCHAR* WStrCopy(WCHAR* dst, size_t size, const WCHAR* src);
VMPLAT_API WCHAR* WStrAppend(WCHAR* dst, size_t size, const WCHAR* src);
VMPLAT_API int WStrCmp(const WCHAR* a, const WCHAR* b);                     // ordinal
VMPLAT_API int WStrNCmp(const WCHAR* a, const WCHAR* b, size_t n);          // ordinal, bounded
VMPLAT_API int WStrICmpAZ(const WCHAR* a, const WCHAR* b);                  // folds a-z only
VMPLAT_API int WStrNICmpAZ(const WCHAR* a, const WCHAR* b, size_t n);
VMPLAT_API WCHAR* WStrUpper(WCHAR* s);                                      // towupper in place
VMPLAT_API const WCHAR* WStrRChr(const WCHAR* s, WCHAR c);                  // last occurrence
VMPLAT_API WCHAR* WStrDup(const WCHAR* s);                                  // malloc'd; null in, null out
VMPLAT_API WCHAR WCharUpper(WCHAR c);                                       // towupper
// printf-style formatting into a fixed buffer; writes at most size-1 units, terminates a
// buffer of non-zero size and returns the length the whole output would have had.
// Supports %d %i %u %x %X %c %s (UTF-16) %hs (8-bit) %ls %% with flags, width, precision
// and the l / ll / I64 size prefixes (l is 32 bits, as on Windows).
VMPLAT_API int WStrFormat(WCHAR* buf, size_t size, const WCHAR* fmt, ...);
VMPLAT_API int WStrFormatV(WCHAR* buf, size_t size, const WCHAR* fmt, va_list args);
// The same conventions over an 8-bit format producing UTF-8: %s and %hs take 8-bit text, %ls and
// %ws UTF-16 (converted to UTF-8). Returns the length in bytes the whole output would have had.
VMPLAT_API int AStrFormatV(char* buf, size_t size, const char* fmt, va_list args);
VMPLAT_API int AStrFormat(char* buf, size_t size, const char* fmt, ...);
}

// Conversions for hosts and tests (not part of the Windows surface).
VMPLAT_API std::u16string Utf8ToUtf16(const std::string& s);
VMPLAT_API std::string Utf16ToUtf8(const WCHAR* s);
VMPLAT_API std::string Utf16ToUtf8(const std::u16string& s);

#include "mount/to_nt_path.h"

#include <cstdlib>
#include <cstring>

#include "platform/wstr.h"

WCHAR* ToNtPath(const WCHAR* path) {
  if (!path) return nullptr;
  static const WCHAR kPrefix[] = u"\\??\\";
  const size_t prefixUnits = 4;
  size_t length = WStrLen(path);
  bool prefixed = length >= prefixUnits && memcmp(path, kPrefix, prefixUnits * sizeof(WCHAR)) == 0;
  size_t units = (prefixed ? 0 : prefixUnits) + length + 1;
  auto* result = static_cast<WCHAR*>(malloc(units * sizeof(WCHAR)));
  if (!result) return nullptr;
  if (!prefixed) memcpy(result, kPrefix, prefixUnits * sizeof(WCHAR));
  memcpy(result + (prefixed ? 0 : prefixUnits), path, (length + 1) * sizeof(WCHAR));
  return result;
}

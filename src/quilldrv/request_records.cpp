#include "quilldrv/request_records.h"

#include "platform/endian.h"
#include "platform/status.h"

namespace {

// Longest string a record may carry, in units (the longest Windows path).
constexpr uint64_t kMaxUnits = 32767;
// No record is larger than its strings allow.
constexpr uint64_t kMaxRecord = 64 + 6 * (kMaxUnits + 1);

// Reads a terminated UTF-16 string starting at *pos that must end before limit.
bool ReadString(const uint8_t* p, uint64_t limit, uint64_t* pos, std::u16string* out) {
  out->clear();
  for (uint64_t at = *pos; at + 2 <= limit; at += 2) {
    char16_t c = static_cast<char16_t>(LoadLE16(p + at));
    if (c == 0) {
      *pos = at + 2;
      return true;
    }
    if (out->size() >= kMaxUnits) return false;
    out->push_back(c);
  }
  return false;
}

bool ZeroTail(const uint8_t* p, uint64_t from, uint64_t size) {
  for (uint64_t i = from; i < size; ++i)
    if (p[i] != 0) return false;
  return true;
}

}  // namespace

uint32_t ParseMountRecord(const void* in, uint64_t size, MountRecord* out) {
  const auto* p = static_cast<const uint8_t*>(in);
  if (!p || size < 6 || size > kMaxRecord || (size & 1)) return ERROR_INVALID_PARAMETER;
  if (p[1] > 1) return ERROR_INVALID_PARAMETER;
  uint64_t pos = 2;
  MountRecord r;
  if (!ReadString(p, size - 2, &pos, &r.path) || r.path.empty()) return ERROR_INVALID_PARAMETER;
  if (pos + 2 != size || !ZeroTail(p, pos, size)) return ERROR_INVALID_PARAMETER;
  r.partition = p[0];
  r.readOnly = p[1] == 1;
  *out = std::move(r);
  return ERROR_SUCCESS;
}

uint32_t ParseIdRecord(const void* in, uint64_t size, uint64_t* id) {
  if (!in || size != 8) return ERROR_INVALID_PARAMETER;
  *id = LoadLE64(static_cast<const uint8_t*>(in));
  return ERROR_SUCCESS;
}

uint32_t ParseFileRedirectionRecord(const void* in, uint64_t size, FileRedirectionRecord* out) {
  const auto* p = static_cast<const uint8_t*>(in);
  if (!p || size < 18 || size > kMaxRecord || (size & 1)) return ERROR_INVALID_PARAMETER;
  FileRedirectionRecord r;
  r.id = LoadLE64(p);
  uint64_t pos = 8;
  if (!ReadString(p, size - 8, &pos, &r.deviceName) || r.deviceName.empty()) return ERROR_INVALID_PARAMETER;
  if (pos + 8 != size || !ZeroTail(p, pos, size)) return ERROR_INVALID_PARAMETER;
  *out = std::move(r);
  return ERROR_SUCCESS;
}

uint32_t ParseRegistryRedirectionRecord(const void* in, uint64_t size, RegistryRedirectionRecord* out) {
  const auto* p = static_cast<const uint8_t*>(in);
  if (!p || size < 46 || size > kMaxRecord || (size & 1)) return ERROR_INVALID_PARAMETER;
  RegistryRedirectionRecord r;
  for (int i = 0; i < 4; ++i) r.keys[i] = LoadLE64(p + 8 * i);
  uint64_t pos = 32;
  const uint64_t limit = size - 8;
  if (!ReadString(p, limit, &pos, &r.classesPath) || !ReadString(p, limit, &pos, &r.userPath) ||
      !ReadString(p, limit, &pos, &r.privatePath) || r.privatePath.empty())
    return ERROR_INVALID_PARAMETER;
  if (pos + 8 != size || !ZeroTail(p, pos, size)) return ERROR_INVALID_PARAMETER;
  *out = std::move(r);
  return ERROR_SUCCESS;
}

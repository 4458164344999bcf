// The records of the volume driver's requests, checked field by field before anything acts on
// them: exact sizes, UTF-16 strings terminated inside the buffer, zero trailers, known flag
// values. A record that fails gives ERROR_INVALID_PARAMETER.
#pragma once
#include <cstdint>
#include <string>
#include "mount/content_driver.h"


struct MountRecord {
  uint8_t partition = 0;  // option1
  bool readOnly = true;   // byte 1 is 1 when the host asked for a read-only mount
  std::u16string path;    // NT path of the image
};

struct FileRedirectionRecord {
  uint64_t id = 0;
  std::u16string deviceName;
};

struct RegistryRedirectionRecord {
  uint64_t keys[4] = {};  // HKLM, HKU, HKCR, HKCU handle values
  std::u16string classesPath;
  std::u16string userPath;
  std::u16string privatePath;
};

uint32_t ParseMountRecord(const void* in, uint64_t size, MountRecord* out);
// A record that is exactly one 64-bit mount id (unmount, read-only query).
uint32_t ParseIdRecord(const void* in, uint64_t size, uint64_t* id);
uint32_t ParseFileRedirectionRecord(const void* in, uint64_t size, FileRedirectionRecord* out);
uint32_t ParseRegistryRedirectionRecord(const void* in, uint64_t size, RegistryRedirectionRecord* out);

// Helpers of the volume driver tests: connecting and mounting as the host does, walking a
// mounted volume, and comparing it with what The Sleuth Kit reads from the raw image.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mount/content_driver.h"
#include "platform/volume_provider.h"

namespace quilltest {

struct Entry {
  uint64_t size = 0;
  bool directory = false;
  uint32_t attributes = 0;
};
using Listing = std::map<std::string, Entry>;

struct Mounted {
  uint32_t status = 0;
  uint64_t id = 0;
  std::u16string root;
  std::shared_ptr<VolumeProvider> volume;
};

// A connection made the way the host makes it: the loader, then the "zeldrive" driver.
ContentDriver* Connect();
std::vector<uint8_t> MountRecordFor(const std::string& posix, uint8_t partition, bool writable);
Mounted MountImage(ContentDriver* driver, const std::string& posix, uint8_t partition, bool writable);
uint32_t Unmount(ContentDriver* driver, uint64_t id);
// Every entry below dir, by "a/b/c" path.
void Walk(VolumeProvider& v, const std::u16string& dir, const std::string& prefix, Listing* out);
std::string ReadWhole(VolumeProvider& v, const std::string& path);
// fls -r -p of the raw volume: allocated entries (no metadata files, virtual entries or named
// streams), each with its inode.
std::map<std::string, std::string> Fls(const std::string& raw, uint64_t sectorOffset, bool ntfs);
// Every entry TSK lists is listed by the driver and vice versa; every file reads as icat reads it.
void CheckAgainstTsk(VolumeProvider& v, const std::string& raw, uint64_t sectorOffset, bool ntfs);

}  // namespace quilltest

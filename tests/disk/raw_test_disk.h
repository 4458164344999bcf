// A test-only disk image: one raw file of 512-byte sectors read through the image file calls,
// with partition discovery run by Open, as the VHD and VMDK classes do.
#pragma once
#include <string>
#include <vector>

#include "disk/image_file.h"
#include "disk/virtual_disk.h"
#include "module/object.h"
#include "support/image_support.h"
#include "support/trace_capture.h"

namespace vmtest {

struct RawGeometry {
  uint64_t sectorCount = 0;  // 0: the file's size / 512
  uint64_t cylinders = 0;    // 0: sectorCount / (heads * sectorsPerTrack)
  uint32_t heads = 255;
  uint32_t sectorsPerTrack = 63;
};

class RawTestDisk : public VirtualDisk {
 public:
  RawTestDisk(const std::u16string& ntPath, RawGeometry geometry);
  NTSTATUS Open(uint8_t readOnly) override;
  NTSTATUS Read(uint64_t first, uint32_t count, void* buffer) override;
  NTSTATUS Write(uint64_t first, uint32_t count, const void* buffer) override;
  VMPEEK_DESTROY_SLOT(RawTestDisk)

  uint32_t reads = 0;  // Read calls seen
  void SetParent(const WCHAR* name) { SetParentFileName(name); }

 protected:
  ~RawTestDisk() = default;

 private:
  RawGeometry m_Geometry;
  NtHandle m_File;
  uint64_t m_FileSectors = 0;
};

// Opens a raw file (POSIX path) with discovery; asserts success of the open.
Ref<RawTestDisk> OpenRaw(const std::string& posix, RawGeometry geometry = {}, uint8_t readOnly = 1);

struct Row {
  uint8_t type;
  uint32_t first;
  uint32_t count;
  std::string id;  // 32 lowercase hex characters
  bool operator==(const Row&) const = default;
};
std::vector<Row> Rows(VirtualDisk* disk);
std::ostream& operator<<(std::ostream& os, const Row& r);

// A GPT disk's rows, type GUIDs and names are those sfdisk reads from the raw disk.
void ExpectSfdiskGptRows(VirtualDisk* disk, const std::string& raw);

}  // namespace vmtest

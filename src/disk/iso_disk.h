// ISODisk: a raw image file (.iso, .img) of 2048-byte sectors, always read-only, whose whole
// extent is one partition of type 2. No partition table is read.
#pragma once
#include "disk/virtual_disk.h"
#include "module/object.h"
#include "platform/nt_file.h"

class ISODisk : public VirtualDisk {
 public:
  static constexpr uint32_t kSectorSize = 2048;

  explicit ISODisk(const WCHAR* fileName);

  NTSTATUS Open(uint8_t readOnly) override;
  NTSTATUS Read(uint64_t firstSector, uint32_t count, void* buffer) override;
  NTSTATUS Write(uint64_t firstSector, uint32_t count, const void* buffer) override;
  VMPEEK_DESTROY_SLOT(ISODisk)

 protected:
  ~ISODisk() = default;  // m_File closes itself

 private:
  // Open without the conversion of memory exhaustion.
  NTSTATUS OpenImage();
  // Both directions: the no-file test, the range test of reads, one positioned transfer.
  NTSTATUS Transfer(uint64_t first, uint32_t count, uint8_t* buffer, bool write);

  NtHandle m_File;
};

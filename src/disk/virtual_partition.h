// VirtualPartition: one row of a disk's partition table seen as a block device of its own.
// Sector numbers are partition-relative; every request is range-checked before it reaches the disk.
#pragma once
#include <cstdint>

#include "module/object.h"
#include "vmpeek/vmpeek.h"

class VirtualPartition : public vmpeek::VirtualPartition {
 public:
  // Takes a reference on disk for the partition's lifetime; uniqueId may be null (all zero).
  VirtualPartition(vmpeek::VirtualDisk* disk, uint8_t type, uint32_t firstSector,
                   uint32_t sectorCount, const uint8_t* uniqueId);

  uint32_t AddRef() override;
  void Release() override;
  void GetInfo(uint8_t* type, uint64_t* lengthBytes, uint64_t* firstSector) override;
  void GetGeometry(uint32_t* mediaType, uint32_t* bytesPerSector, uint64_t* sectorCount,
                   uint64_t* cylinders, uint32_t* tracksPerCylinder,
                   uint32_t* sectorsPerTrack) override;
  void GetUniqueId(uint8_t uniqueId[16]) override;
  uint8_t IsReadOnly() override;
  NTSTATUS Read(uint64_t firstSector, uint32_t count, void* buffer) override;
  NTSTATUS Write(uint64_t firstSector, uint32_t count, const void* buffer) override;
  VMPEEK_DESTROY_SLOT(VirtualPartition)

 protected:
  ~VirtualPartition();

 private:
  // Both directions: read-only refusal (writes), the range tests, one call to the disk.
  NTSTATUS Transfer(uint64_t first, uint32_t count, uint8_t* buffer, bool write);

  volatile uint32_t m_RefCount = 1;
  vmpeek::VirtualDisk* m_Disk;
  uint8_t m_Type;
  uint32_t m_FirstSector;
  uint64_t m_SectorCount;
  uint8_t m_UniqueId[16];
};

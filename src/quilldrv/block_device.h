// A mounted volume's storage: the partition (or whole disk) an image object serves, read and
// written at byte offsets. Transfers that do not cover whole sectors go through a sector-sized
// bounce buffer; everything else goes straight to the image object. Small reads (filesystem
// records, directory blocks) are served from a few cached 64 KiB blocks, which writes drop.
// Callers serialise their calls (each volume holds its lock around them).
#pragma once
#include <cstdint>
#include <array>
#include <memory>
#include <vector>
#include "vmpeek/vmpeek.h"

class BlockDevice {
 public:
  // Takes one reference on whichever of partition or disk is given (exactly one).
  BlockDevice(vmpeek::VirtualPartition* partition, vmpeek::VirtualDisk* disk);
  ~BlockDevice();
  BlockDevice(const BlockDevice&) = delete;
  BlockDevice& operator=(const BlockDevice&) = delete;

  uint64_t Size() const { return m_Size; }
  uint32_t SectorSize() const { return m_SectorSize; }
  bool IsReadOnly() const { return m_ReadOnly; }
  // Reads or writes exactly `length` bytes; false (with *status, an NT status) when the range
  // leaves the device, the device is read-only, or the image refuses.
  bool ReadAt(uint64_t offset, void* buffer, uint64_t length, NTSTATUS* status);
  bool WriteAt(uint64_t offset, const void* buffer, uint64_t length, NTSTATUS* status);
  // The last failure the image reported (0 when none since the last ClearFailure).
  NTSTATUS LastFailure() const { return m_LastFailure; }
  void ClearFailure() { m_LastFailure = 0; }

 private:
  NTSTATUS Sectors(bool write, uint64_t first, uint32_t count, void* buffer);
  bool ReadDirect(uint64_t offset, void* buffer, uint64_t length, NTSTATUS* status);
  bool ReadCached(uint64_t offset, void* buffer, uint64_t length, NTSTATUS* status);

  static constexpr uint64_t kBlock = 64 * 1024;
  struct CachedBlock {
    uint64_t index = UINT64_MAX;
    uint64_t lastUse = 0;
    std::vector<uint8_t> bytes;
  };
  std::array<CachedBlock, 16> m_Cache;
  uint64_t m_Clock = 0;

  vmpeek::VirtualPartition* m_Partition;
  vmpeek::VirtualDisk* m_Disk;
  uint32_t m_SectorSize = 512;
  uint64_t m_SectorCount = 0;
  uint64_t m_Size = 0;
  bool m_ReadOnly = true;
  NTSTATUS m_LastFailure = 0;
};

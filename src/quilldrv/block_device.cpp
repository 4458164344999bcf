#include "quilldrv/block_device.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/status.h"

namespace {
// Largest run handed to the image in one call (the sector count of a request is 32-bit).
constexpr uint64_t kMaxRunBytes = 16u << 20;
}  // namespace

BlockDevice::BlockDevice(vmpeek::VirtualPartition* partition, vmpeek::VirtualDisk* disk)
    : m_Partition(partition), m_Disk(partition ? nullptr : disk) {
  uint32_t bytesPerSector = 0;
  uint64_t sectors = 0;
  if (m_Partition) {
    m_Partition->AddRef();
    m_Partition->GetGeometry(nullptr, &bytesPerSector, &sectors, nullptr, nullptr, nullptr);
    m_ReadOnly = m_Partition->IsReadOnly() != 0;
  } else if (m_Disk) {
    m_Disk->AddRef();
    m_Disk->GetGeometry(nullptr, &bytesPerSector, &sectors, nullptr, nullptr, nullptr);
    m_ReadOnly = m_Disk->IsReadOnly() != 0;
  }
  // Only the sector sizes the images use; anything else leaves an empty device.
  if (bytesPerSector == 512 || bytesPerSector == 2048 || bytesPerSector == 4096) {
    m_SectorSize = bytesPerSector;
    if (sectors <= UINT64_MAX / bytesPerSector) {
      m_SectorCount = sectors;
      m_Size = sectors * bytesPerSector;
    }
  }
}

BlockDevice::~BlockDevice() {
  if (m_Partition) m_Partition->Release();
  if (m_Disk) m_Disk->Release();
}

NTSTATUS BlockDevice::Sectors(bool write, uint64_t first, uint32_t count, void* buffer) {
  NTSTATUS st;
  if (m_Partition)
    st = write ? m_Partition->Write(first, count, buffer) : m_Partition->Read(first, count, buffer);
  else if (m_Disk)
    st = write ? m_Disk->Write(first, count, buffer) : m_Disk->Read(first, count, buffer);
  else
    st = STATUS_INVALID_HANDLE;
  if (!NT_SUCCESS(st)) m_LastFailure = st;
  return st;
}

bool BlockDevice::ReadAt(uint64_t offset, void* buffer, uint64_t length, NTSTATUS* status) {
  *status = STATUS_SUCCESS;
  if (offset > m_Size || length > m_Size - offset) {
    *status = STATUS_END_OF_FILE;
    return false;
  }
  return length <= kBlock ? ReadCached(offset, buffer, length, status) : ReadDirect(offset, buffer, length, status);
}

bool BlockDevice::ReadCached(uint64_t offset, void* buffer, uint64_t length, NTSTATUS* status) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    const uint64_t index = offset / kBlock;
    CachedBlock* block = nullptr;
    for (CachedBlock& b : m_Cache)
      if (b.index == index) block = &b;
    if (!block) {
      block = &m_Cache[0];
      for (CachedBlock& b : m_Cache)
        if (b.lastUse < block->lastUse) block = &b;
      const uint64_t start = index * kBlock;
      block->index = UINT64_MAX;
      block->bytes.resize(static_cast<size_t>(std::min<uint64_t>(kBlock, m_Size - start)));
      if (!ReadDirect(start, block->bytes.data(), block->bytes.size(), status)) return false;
      block->index = index;
    }
    block->lastUse = ++m_Clock;
    const uint64_t within = offset % kBlock;
    const uint64_t n = std::min<uint64_t>(length, block->bytes.size() - within);
    memcpy(out, block->bytes.data() + within, n);
    out += n;
    offset += n;
    length -= n;
  }
  return true;
}

bool BlockDevice::ReadDirect(uint64_t offset, void* buffer, uint64_t length, NTSTATUS* status) {
  auto* out = static_cast<uint8_t*>(buffer);
  const uint64_t ss = m_SectorSize;
  std::vector<uint8_t> bounce;
  while (length > 0) {
    uint64_t sector = offset / ss;
    uint64_t within = offset % ss;
    if (within != 0 || length < ss) {
      bounce.resize(ss);
      NTSTATUS st = Sectors(false, sector, 1, bounce.data());
      if (!NT_SUCCESS(st)) {
        *status = st;
        return false;
      }
      uint64_t n = std::min<uint64_t>(ss - within, length);
      memcpy(out, bounce.data() + within, n);
      out += n;
      offset += n;
      length -= n;
      continue;
    }
    uint64_t run = std::min<uint64_t>(length / ss * ss, kMaxRunBytes);
    NTSTATUS st = Sectors(false, sector, static_cast<uint32_t>(run / ss), out);
    if (!NT_SUCCESS(st)) {
      *status = st;
      return false;
    }
    out += run;
    offset += run;
    length -= run;
  }
  return true;
}

bool BlockDevice::WriteAt(uint64_t offset, const void* buffer, uint64_t length, NTSTATUS* status) {
  *status = STATUS_SUCCESS;
  if (m_ReadOnly) {
    *status = STATUS_MEDIA_WRITE_PROTECTED;
    return false;
  }
  if (offset > m_Size || length > m_Size - offset) {
    *status = STATUS_DISK_FULL;
    return false;
  }
  for (CachedBlock& b : m_Cache)  // what the write covers is read afresh next time
    if (b.index != UINT64_MAX && b.index * kBlock < offset + length && (b.index + 1) * kBlock > offset)
      b.index = UINT64_MAX;
  auto* in = static_cast<const uint8_t*>(buffer);
  const uint64_t ss = m_SectorSize;
  std::vector<uint8_t> bounce;
  while (length > 0) {
    uint64_t sector = offset / ss;
    uint64_t within = offset % ss;
    if (within != 0 || length < ss) {
      // Read, modify, write one sector.
      bounce.resize(ss);
      NTSTATUS st = Sectors(false, sector, 1, bounce.data());
      uint64_t n = std::min<uint64_t>(ss - within, length);
      if (NT_SUCCESS(st)) {
        memcpy(bounce.data() + within, in, n);
        st = Sectors(true, sector, 1, bounce.data());
      }
      if (!NT_SUCCESS(st)) {
        *status = st;
        return false;
      }
      in += n;
      offset += n;
      length -= n;
      continue;
    }
    uint64_t run = std::min<uint64_t>(length / ss * ss, kMaxRunBytes);
    NTSTATUS st = Sectors(true, sector, static_cast<uint32_t>(run / ss), const_cast<uint8_t*>(in));
    if (!NT_SUCCESS(st)) {
      *status = st;
      return false;
    }
    in += run;
    offset += run;
    length -= run;
  }
  return true;
}

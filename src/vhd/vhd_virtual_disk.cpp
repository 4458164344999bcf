// VHDVirtualDisk: the footer, Open, the locked transfer entry points and fixed disks.
#include "vhd/vhd_virtual_disk.h"

#include <cstring>

#include "disk/locked_transfer.h"
#include "disk/no_memory.h"
#include "disk/open_virtual_disk.h"
#include "module/parse_trace.h"
#include "platform/endian.h"
#include "vhd/vhd_format.h"

using namespace vhd;

VirtualDisk* CreateVHDVirtualDisk(const WCHAR* path) {
  OpenParseTraceChannels();
  return CreateOrNull<VHDVirtualDisk>(path);
}

VHDVirtualDisk::VHDVirtualDisk(const WCHAR* fileName) : VirtualDisk(fileName), m_Files(fileName) {
  m_BytesPerSector = kSectorSize;
  m_MediaType = MEDIA_TYPE_FIXED;
}

VHDVirtualDisk::~VHDVirtualDisk() {
  const NTSTATUS closed = m_Files.Close();
  if (!NT_SUCCESS(closed))
    TRACE_ERR(u"VHDVirtualDisk::~VHDVirtualDisk final flush of %s failed %08lx.\n", m_FileName.c_str(),
              static_cast<uint32_t>(closed));
  if (m_Parent) {
    m_Parent->Release();
    m_Parent = nullptr;
  }
}

NTSTATUS VHDVirtualDisk::Flush() {
  CsGuard lock(&m_Lock);
  const NTSTATUS status = m_Files.Flush();
  if (!NT_SUCCESS(status))
    TRACE_ERR(u"VHDVirtualDisk::Flush %s failed %08lx.\n", m_FileName.c_str(), static_cast<uint32_t>(status));
  return status;
}

void VHDVirtualDisk::GetUniqueId(uint8_t uniqueId[16]) const {
  memcpy(uniqueId, m_footer + kFooterUniqueId, 16);
}

const uint8_t* VHDVirtualDisk::ParentUniqueId() const {
  return m_DiskType == kDiskTypeDifferencing ? m_header + kHeaderParentUniqueId : nullptr;
}

bool VHDVirtualDisk::ReachesItself() const {
  for (const VHDVirtualDisk* c = m_Child; c; c = c->m_Child)
    if (memcmp(c->m_footer + kFooterUniqueId, m_footer + kFooterUniqueId, 16) == 0) return true;
  return false;
}

bool VHDVirtualDisk::IsVhdx() {
  uint8_t first[512];
  return NT_SUCCESS(m_Files.Read(0, 1, first)) && memcmp(first, "vhdxfile", 8) == 0;
}

NTSTATUS VHDVirtualDisk::Open(uint8_t readOnly) {
  if (m_Opened) return STATUS_SUCCESS;
  return StatusOrNoMemory([&] { return OpenImage(readOnly); }, u"VHDVirtualDisk::Open out of memory\n");
}

NTSTATUS VHDVirtualDisk::OpenImage(uint8_t readOnly) {
  NTSTATUS status = m_Files.Open(readOnly);
  if (!NT_SUCCESS(status)) {
    TRACE_ERR(u"VHDVirtualDisk::Open m_Files.Open failed %08lx.\n", static_cast<uint32_t>(status));
    return status;
  }
  m_ReadOnly = m_Files.IsReadOnly();
  status = ReadFooter();
  if (NT_SUCCESS(status)) status = OpenByDiskType();
  if (!NT_SUCCESS(status)) return status;

  return FinishOpen(u"VHDVirtualDisk::Open ProcessMBR found 0 partitions\n");
}

// The footer in the last sector of the set (or its 511-byte form at byte 1), its disk type,
// saved state, size and geometry.
NTSTATUS VHDVirtualDisk::ReadFooter() {
  uint64_t size = m_Files.TotalSize();
  if (size == 0 || size % kSectorSize != 0) {
    TRACE_ERR(u"VHDVirtualDisk::Open size of m_Files is 0 or not a multiple of the sector size.\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  uint64_t lastSector = size / kSectorSize - 1;
  uint8_t sector[512];
  NTSTATUS status = m_Files.Read(lastSector, 1, sector);
  if (!NT_SUCCESS(status)) {
    TRACE_ERR(u"VHDVirtualDisk::Open failed to read last sector (%I64d) in file %08lx\n",
              static_cast<int64_t>(lastSector), static_cast<uint32_t>(status));
    return status;
  }
  if (memcmp(sector, "conectix", 8) == 0) {
    memcpy(m_footer, sector, 512);
  } else if (memcmp(sector + 1, "conectix", 8) == 0) {
    memcpy(m_footer, sector + 1, 511);
    m_footer[511] = 0;
    m_ShortFooter = 1;
  } else if (IsVhdx()) {
    TRACE_ERR(u"VHDVirtualDisk::Open VHDX is not supported yet.\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  } else {
    TRACE_ERR(u"VHDVirtualDisk::Open no conectix signature in footer.\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }

  uint32_t diskType = LoadBE32(m_footer + kFooterDiskType);
  TRACE_DETAIL(u"m_footer.DiskType = %d\n", static_cast<int32_t>(diskType));
  if (diskType != kDiskTypeFixed && diskType != kDiskTypeDynamic && diskType != kDiskTypeDifferencing) {
    TRACE_ERR(u"VHDVirtualDisk::Open disktype %d is unsupported.\n", static_cast<int32_t>(diskType));
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  m_DiskType = static_cast<uint8_t>(diskType);
  if (m_footer[kFooterSavedState] == 1) m_SavedState = 1;

  m_SectorCount = LoadBE64(m_footer + kFooterCurrentSize) / kSectorSize;
  m_Cylinders = LoadBE16(m_footer + kFooterCylinders);
  m_TracksPerCylinder = m_footer[kFooterHeads];
  m_SectorsPerTrack = m_footer[kFooterSectorsPerTrack];
  TRACE_DETAIL(u"m_footer.CurrentSize        = %I64d sectors\n", static_cast<int64_t>(m_SectorCount));
  TRACE_DETAIL(u"m_footer.Cylinders          = %d\n", static_cast<int32_t>(m_Cylinders));
  TRACE_DETAIL(u"m_footer.Heads              = %d\n", static_cast<int32_t>(m_TracksPerCylinder));
  TRACE_DETAIL(u"m_footer.SectorsPerCylinder = %d\n", static_cast<int32_t>(m_SectorsPerTrack));
  return STATUS_SUCCESS;
}

// Dynamic state for types 3 and 4, and the parent of a differencing disk.
NTSTATUS VHDVirtualDisk::OpenByDiskType() {
  m_Dynamic = m_DiskType != kDiskTypeFixed;
  if (m_DiskType == kDiskTypeFixed) return STATUS_SUCCESS;
  if (m_DiskType == kDiskTypeDifferencing) {
    // A chain that comes back to an image already below, or that never ends, is refused
    // before anything is read from the next parent.
    if (ReachesItself()) {
      TRACE_ERR(u"VHDVirtualDisk::Open %s is already part of its own differencing chain.\n", m_FileName.c_str());
      return STATUS_INVALID_OWNER;
    }
    if (m_Depth >= kMaxParentDepth) {
      TRACE_ERR(u"VHDVirtualDisk::Open differencing chain is deeper than %d parents.\n",
                static_cast<int32_t>(kMaxParentDepth));
      return STATUS_INVALID_OWNER;
    }
  }
  NTSTATUS status = OpenDynamic();
  if (!NT_SUCCESS(status) || m_DiskType != kDiskTypeDifferencing) return status;
  status = FindParent();
  if (!NT_SUCCESS(status))
    TRACE_ERR(u"VHDVirtualDisk::Open failed to get parent of difference disk %08lx.\n", static_cast<uint32_t>(status));
  return status;
}

NTSTATUS VHDVirtualDisk::Read(uint64_t firstSector, uint32_t count, void* buffer) {
  return LockedTransfer(
      &m_Lock, m_SectorCount, firstSector, count, buffer,
      [&] { return m_Dynamic ? ReadDynamic(firstSector, count, buffer) : ReadFixed(firstSector, count, buffer); },
      u"VHDVirtualDisk::Read (%I64d,%d) failed %08lx.\n");
}

NTSTATUS VHDVirtualDisk::Write(uint64_t firstSector, uint32_t count, const void* buffer) {
  return LockedTransfer(
      &m_Lock, m_SectorCount, firstSector, count, buffer,
      [&] {
        if (IsReadOnly()) return STATUS_ACCESS_DENIED;
        return m_Dynamic ? WriteDynamic(firstSector, count, buffer) : WriteFixed(firstSector, count, buffer);
      },
      u"VHDVirtualDisk::WRite (%I64d,%d) failed %08lx.\n");
}

NTSTATUS VHDVirtualDisk::ReadFixed(uint64_t first, uint32_t count, void* buffer) {
  // The data ends where the footer begins: a footer claiming more is not believed.
  uint64_t dataSectors = m_Files.TotalSectors() - 1;
  NTSTATUS status = first + count > dataSectors ? STATUS_INVALID_PARAMETER
                                                : m_Files.Read(first, count, buffer);
  if (!NT_SUCCESS(status))
    TRACE_ERR(u"VHDVirtualDisk::ReadFixed (%I64d,%d) failed %08lx.\n", static_cast<int64_t>(first),
              static_cast<int32_t>(count), static_cast<uint32_t>(status));
  return status;
}

NTSTATUS VHDVirtualDisk::WriteFixed(uint64_t first, uint32_t count, const void* buffer) {
  uint64_t dataSectors = m_Files.TotalSectors() - 1;
  NTSTATUS status = first + count > dataSectors ? STATUS_INVALID_PARAMETER
                                                : m_Files.Write(first, count, buffer);
  if (!NT_SUCCESS(status))
    TRACE_ERR(u"VHDVirtualDisk::WriteFixed (%I64d,%d) failed %08lx.\n", static_cast<int64_t>(first),
              static_cast<int32_t>(count), static_cast<uint32_t>(status));
  return status;
}

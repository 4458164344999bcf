// VMDKVirtualDisk: Open, the locked Read and Write, and the factory entry.
#include "vmdk/vmdk_virtual_disk.h"

#include "disk/no_memory.h"

#include "disk/locked_transfer.h"
#include "disk/open_virtual_disk.h"
#include "module/parse_trace.h"

VMDKVirtualDisk::VMDKVirtualDisk(const WCHAR* path) : VirtualDisk(path), m_Extents(this) {
  m_BytesPerSector = 512;
  m_MediaType = MEDIA_TYPE_FIXED;
}

VMDKVirtualDisk::~VMDKVirtualDisk() {
  ReleaseParent();
  const NTSTATUS closed = m_Extents.Close();
  if (closed < 0)
    TRACE_ERR(u"VMDKVirtualDisk::~VMDKVirtualDisk final flush of %s failed %08lx\n", m_FileName.c_str(),
              static_cast<uint32_t>(closed));
  m_Extents.Reset();
}

NTSTATUS VMDKVirtualDisk::Flush() {
  CsGuard guard(&m_Lock);
  return m_Extents.Flush();
}

void VMDKVirtualDisk::ReleaseParent() {
  if (m_Parent != nullptr) {
    m_Parent->Release();
    m_Parent = nullptr;
  }
}

NTSTATUS VMDKVirtualDisk::Open(uint8_t readOnly) {
  if (m_Opened) return STATUS_SUCCESS;
  const NTSTATUS status =
      StatusOrNoMemory([&] { return OpenLocked(readOnly); }, u"VMDKVirtualDisk::Open out of memory\n");
  if (status == STATUS_NO_MEMORY) {
    ReleaseParent();
    m_Extents.Reset();
  }
  return status;
}

NTSTATUS VMDKVirtualDisk::OpenLocked(uint8_t readOnly) {
  // A second Open after a failed one starts from nothing.
  ReleaseParent();
  SetParentFileName(nullptr);
  m_Extents.Reset();
  m_SectorCount = 0;
  m_BadExtentName = false;
  m_EmbeddedDescriptor = false;
  m_ReadOnly = readOnly ? 1 : 0;
  m_Extents.m_ReadOnly = m_ReadOnly;
  const NTSTATUS status = ProcessDescriptorFile();
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::Open ProcessDescriptorFile failed with %08lx\n", static_cast<uint32_t>(status));
    return status;
  }
  m_ReadOnly = m_Extents.m_ReadOnly;
  return FinishOpen(u"VMDKVirtualDisk::Open ProcessMBR found 0 partitions\n");
}

NTSTATUS VMDKVirtualDisk::Read(uint64_t firstSector, uint32_t count, void* buffer) {
  return LockedTransfer(&m_Lock, m_SectorCount, firstSector, count, buffer,
                        [&] { return m_Extents.Read(firstSector, count, buffer); },
                        u" VMDKVirtualDisk::Read(%I64d,%d) failed %08lx\n");
}

NTSTATUS VMDKVirtualDisk::ReadRuns(const SectorRun* runs, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (runs[i].sector > m_SectorCount || runs[i].count > m_SectorCount - runs[i].sector) {
      TRACE_ERR(u" VMDKVirtualDisk::Read(%I64d,%d) failed %08lx\n", runs[i].sector,
                static_cast<int32_t>(runs[i].count), static_cast<uint32_t>(STATUS_INVALID_PARAMETER));
      return STATUS_INVALID_PARAMETER;
    }
  }
  CsGuard guard(&m_Lock);
  const NTSTATUS status = m_Extents.ReadRuns(runs, count);
  if (status < 0 && count != 0) {
    TRACE_ERR(u" VMDKVirtualDisk::Read(%I64d,%d) failed %08lx\n", runs[0].sector,
              static_cast<int32_t>(runs[0].count), static_cast<uint32_t>(status));
  }
  return status;
}

NTSTATUS VMDKVirtualDisk::Write(uint64_t firstSector, uint32_t count, const void* buffer) {
  return LockedTransfer(&m_Lock, m_SectorCount, firstSector, count, buffer,
                        [&] { return m_Extents.Write(firstSector, count, buffer); },
                        u" VMDKVirtualDisk::Write(%I64d,%d) failed %08lx\n");
}

VirtualDisk* CreateVMDKVirtualDisk(const WCHAR* path) {
  return CreateOrNull<VMDKVirtualDisk>(path);
}

// The VirtualDisk base: reference count, the shared slots and the partition table.
#include "disk/virtual_disk.h"

#include <cstring>

#include "disk/no_memory.h"
#include "disk/virtual_partition.h"
#include "module/parse_trace.h"
#include "platform/wstr.h"

VirtualDisk::VirtualDisk(const WCHAR* fileName) : m_FileName(fileName ? fileName : u"") {
  InitializeCriticalSection(&m_Lock);
}

VirtualDisk::~VirtualDisk() { DeleteCriticalSection(&m_Lock); }

uint32_t VirtualDisk::AddRef() { return InterlockedIncrement(&m_RefCount); }

void VirtualDisk::Release() {
  if (InterlockedDecrement(&m_RefCount) == 0) Destroy(1);
}

uint8_t VirtualDisk::IsReadOnly() { return m_ReadOnly; }

const WCHAR* VirtualDisk::GetFileName() { return m_FileName.c_str(); }

NTSTATUS VirtualDisk::GetParentFileName(WCHAR* buffer, uint64_t* size) {
  if (!m_ParentFileName) return STATUS_NOT_FOUND;
  const uint64_t needed = static_cast<uint64_t>(m_ParentFileName->size()) + 1;
  if (buffer != nullptr && size != nullptr && *size >= needed) {
    memcpy(buffer, m_ParentFileName->c_str(), needed * sizeof(WCHAR));
    return STATUS_SUCCESS;
  }
  if (size != nullptr) *size = needed;
  return STATUS_BUFFER_TOO_SMALL;
}

void VirtualDisk::GetGeometry(uint32_t* mediaType, uint32_t* bytesPerSector, uint64_t* sectorCount,
                              uint64_t* cylinders, uint32_t* tracksPerCylinder,
                              uint32_t* sectorsPerTrack) {
  if (mediaType) *mediaType = m_MediaType;
  if (bytesPerSector) *bytesPerSector = m_BytesPerSector;
  if (sectorCount) *sectorCount = m_SectorCount;
  if (cylinders) *cylinders = m_Cylinders;
  if (tracksPerCylinder) *tracksPerCylinder = m_TracksPerCylinder;
  if (sectorsPerTrack) *sectorsPerTrack = m_SectorsPerTrack;
}

uint8_t VirtualDisk::GetPartitionCount() { return PartitionCount(); }

uint8_t VirtualDisk::IsSavedState() { return m_SavedState; }

NTSTATUS VirtualDisk::GetPartition(uint8_t index, vmpeek::VirtualPartition** partition) {
  if (index >= PartitionCount()) {
    TRACE_ERR(u"VirtualDisk::GetPartition invalid partition requested %d >= %d\n",
              static_cast<int32_t>(index), static_cast<int32_t>(PartitionCount()));
    return STATUS_INVALID_PARAMETER;
  }
  const PartitionEntry& row = m_Partitions[index];
  ::VirtualPartition* created =
      CreateOrNull<::VirtualPartition>(this, row.type, row.firstSector, row.sectorCount, row.uniqueId);
  if (created == nullptr) {
    TRACE_ERR(u"VirtualDisk::GetPartition new VirtualPartition failed\n");
    if (partition) *partition = nullptr;
    return STATUS_NO_MEMORY;
  }
  if (partition) {
    *partition = created;
  } else {
    created->Release();
  }
  return STATUS_SUCCESS;
}

void VirtualDisk::AddPartition(uint8_t type, uint32_t firstSector, uint32_t sectorCount,
                               const uint8_t* uniqueId) {
  if (PartitionCount() >= kMaxPartitions) {
    TRACE_ERR(u"VirtualDisk::AddPartition partition table is full (%d rows), partition at sector %u dropped\n",
              static_cast<int32_t>(PartitionCount()), firstSector);
    return;
  }
  PartitionEntry& row = m_Partitions.emplace_back();
  row.type = type;
  row.firstSector = firstSector;
  row.sectorCount = sectorCount;
  if (uniqueId != nullptr) {
    memcpy(row.uniqueId, uniqueId, sizeof(row.uniqueId));
  } else {
    memset(row.uniqueId, 0, sizeof(row.uniqueId));
  }
}

void VirtualDisk::SetParentFileName(const WCHAR* name) {
  if (name) {
    m_ParentFileName = name;
  } else {
    m_ParentFileName.reset();
  }
}

NTSTATUS VirtualDisk::OpenParentImage(VirtualDisk* parent) {
  parent->SetOpenPurpose(OpenPurpose::Parent);
  return parent->Open(1);  // parents are only ever read
}

NTSTATUS VirtualDisk::FinishOpen(const WCHAR* noPartitionsTrace) {
  if (m_Purpose != OpenPurpose::Parent) {
    ProcessMBR();
    if (PartitionCount() == 0 && m_Purpose == OpenPurpose::Partitions) {
      TRACE_ERR(noPartitionsTrace);
      return STATUS_DEVICE_NOT_PARTITIONED;
    }
  }
  m_Opened = 1;
  return STATUS_SUCCESS;
}

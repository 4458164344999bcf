// VirtualPartition: range checks, read-only refusal and the derived geometry.
#include "disk/virtual_partition.h"

#include <cstring>

#include "module/parse_trace.h"
#include "platform/status.h"
#include "platform/sync.h"

VirtualPartition::VirtualPartition(vmpeek::VirtualDisk* disk, uint8_t type, uint32_t firstSector,
                                   uint32_t sectorCount, const uint8_t* uniqueId)
    : m_Disk(disk), m_Type(type), m_FirstSector(firstSector), m_SectorCount(sectorCount) {
  if (uniqueId != nullptr) {
    memcpy(m_UniqueId, uniqueId, sizeof(m_UniqueId));
  } else {
    memset(m_UniqueId, 0, sizeof(m_UniqueId));
  }
  m_Disk->AddRef();
}

VirtualPartition::~VirtualPartition() {
  if (m_Disk != nullptr) m_Disk->Release();
  m_Disk = nullptr;
}

uint32_t VirtualPartition::AddRef() { return InterlockedIncrement(&m_RefCount); }

void VirtualPartition::Release() {
  if (InterlockedDecrement(&m_RefCount) == 0) Destroy(1);
}

void VirtualPartition::GetInfo(uint8_t* type, uint64_t* lengthBytes, uint64_t* firstSector) {
  // The length is reported in 512-byte units whatever the disk's sector size.
  *type = m_Type;
  *lengthBytes = m_SectorCount * 512u;
  *firstSector = m_FirstSector;
}

void VirtualPartition::GetGeometry(uint32_t* mediaType, uint32_t* bytesPerSector,
                                   uint64_t* sectorCount, uint64_t* cylinders,
                                   uint32_t* tracksPerCylinder, uint32_t* sectorsPerTrack) {
  uint32_t media = 0, bps = 0, tracks = 0, spt = 0;
  uint64_t diskCylinders = 0;
  m_Disk->GetGeometry(&media, &bps, nullptr, &diskCylinders, &tracks, &spt);
  if (mediaType) *mediaType = media;
  if (bytesPerSector) *bytesPerSector = bps;
  if (sectorCount) *sectorCount = m_SectorCount;
  if (tracksPerCylinder) *tracksPerCylinder = tracks;
  if (sectorsPerTrack) *sectorsPerTrack = spt;
  if (cylinders) {
    const uint32_t perCylinder = tracks * spt;
    if (perCylinder == 0) {
      TRACE_ERR(u"VirtualPartition::GetGeometry SectorsPerCylinder from parent disk is 0\n");
      *cylinders = 0;
    } else if (diskCylinders == 1) {
      *cylinders = 1;
    } else {
      // An exact number of cylinders still reports one more.
      *cylinders = m_SectorCount / perCylinder + 1;
    }
  }
}

void VirtualPartition::GetUniqueId(uint8_t uniqueId[16]) { memcpy(uniqueId, m_UniqueId, 16); }

uint8_t VirtualPartition::IsReadOnly() { return m_Disk->IsReadOnly(); }

NTSTATUS VirtualPartition::Read(uint64_t first, uint32_t count, void* buffer) {
  return Transfer(first, count, static_cast<uint8_t*>(buffer), false);
}

NTSTATUS VirtualPartition::Write(uint64_t first, uint32_t count, const void* buffer) {
  return Transfer(first, count, static_cast<uint8_t*>(const_cast<void*>(buffer)), true);
}

NTSTATUS VirtualPartition::Transfer(uint64_t first, uint32_t count, uint8_t* buffer, bool write) {
  // The trace texts of each direction, as the format gives them.
  static const WCHAR* const kReadOnly =
      u"VirtualPartition::Write write to ReadOnly disk start=%I64d count=%d length=%I64d.\n";
  static const WCHAR* const kStartsPast[2] = {
      u"VirtualPartition::Read read starts past end of partition start=%I64d count=%d length=%I64d.\n",
      u"VirtualPartition  write starts past end of partition start=%I64d count=%d length=%I64d.\n"};
  static const WCHAR* const kEndsPast[2] = {
      u"VirtualPartition::Read read ends past end of partition start=%I64d count=%d length=%I64d.\n",
      u"VirtualPartition::Write write ends past end of partition start=%I64d count=%d length=%I64d.\n"};
  static const WCHAR* const kFailed[2] = {
      u"VirtualPartition::Read read failed start=%I64d count=%d status=%08lx.\n",
      u"VirtualPartition::Write write failed start=%I64d count=%d status=%08lx.\n"};
  const int w = write ? 1 : 0;
  const int64_t start = static_cast<int64_t>(first);
  const int64_t length = static_cast<int64_t>(m_SectorCount);
  if (write && IsReadOnly()) {
    TRACE_ERR(kReadOnly, start, static_cast<int32_t>(count), length);
    return STATUS_ACCESS_DENIED;
  }
  if (first > m_SectorCount) {
    TRACE_ERR(kStartsPast[w], start, static_cast<int32_t>(count), length);
    return STATUS_INVALID_PARAMETER;
  }
  // first <= m_SectorCount < 2^32, so the sum cannot wrap.
  if (first + count > m_SectorCount) {
    TRACE_ERR(kEndsPast[w], start, static_cast<int32_t>(count), length);
    return STATUS_END_OF_FILE;
  }
  const NTSTATUS status =
      write ? m_Disk->Write(m_FirstSector + first, count, buffer) : m_Disk->Read(m_FirstSector + first, count, buffer);
  if (status < 0) TRACE_ERR(kFailed[w], start, static_cast<int32_t>(count), static_cast<uint32_t>(status));
  return status;
}

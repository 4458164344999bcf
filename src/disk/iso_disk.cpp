// ISODisk: open, size check and positioned 2048-byte-sector transfers on one raw file.
#include "disk/iso_disk.h"

#include "disk/image_file.h"
#include "disk/no_memory.h"
#include "disk/open_virtual_disk.h"
#include "module/parse_trace.h"

ISODisk::ISODisk(const WCHAR* fileName) : VirtualDisk(fileName) {
  m_BytesPerSector = kSectorSize;
  m_MediaType = MEDIA_TYPE_REMOVABLE;
}

VirtualDisk* CreateISODisk(const WCHAR* path) { return CreateOrNull<ISODisk>(path); }

NTSTATUS ISODisk::Open(uint8_t /*readOnly*/) {
  if (m_Opened) return STATUS_SUCCESS;
  return StatusOrNoMemory([&] { return OpenImage(); }, u"ISODisk::Open out of memory\n");
}

NTSTATUS ISODisk::OpenImage() {
  m_ReadOnly = 1;  // raw images are always read-only
  NTSTATUS status = OpenImageFile(m_FileName.c_str(), true, m_File.put());
  if (status < 0) {
    TRACE_ERR(u"ISODisk::Open(%s) open for R/O failed %08lx.\n", m_FileName.c_str(), static_cast<uint32_t>(status));
    m_File.Close();
    return status;
  }
  uint64_t size = 0;
  status = ZwQueryFileSize(m_File.get(), &size);
  if (status < 0) {
    TRACE_ERR(u"ISODisk::Open(%s) query for size failed %08lx.\n", m_FileName.c_str(), static_cast<uint32_t>(status));
    m_File.Close();
    return status;
  }
  if (size == 0 || size % kSectorSize != 0) {
    TRACE_ERR(u"ISODisk::Open size of file is 0 or not a multiple of the sector size.\n");
    m_File.Close();
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  m_SectorCount = size / kSectorSize;
  m_Cylinders = 1;
  m_TracksPerCylinder = 1;
  m_SectorsPerTrack = static_cast<uint32_t>(m_SectorCount);
  AddPartition(2, 0, static_cast<uint32_t>(m_SectorCount), nullptr);
  m_Opened = 1;
  return STATUS_SUCCESS;
}

NTSTATUS ISODisk::Read(uint64_t first, uint32_t count, void* buffer) {
  return Transfer(first, count, static_cast<uint8_t*>(buffer), false);
}

NTSTATUS ISODisk::Write(uint64_t first, uint32_t count, const void* buffer) {
  return Transfer(first, count, static_cast<uint8_t*>(const_cast<void*>(buffer)), true);
}

NTSTATUS ISODisk::Transfer(uint64_t first, uint32_t count, uint8_t* buffer, bool write) {
  if (!m_File) {
    TRACE_ERR(write ? u"ISODisk::Write(%I64d,%d) - no file\n" : u"ISODisk::Read(%I64d,%d) - no file\n",
              static_cast<int64_t>(first), static_cast<int32_t>(count));
    return STATUS_FILE_INVALID;
  }
  // Reads stay inside the image; writes are not range-checked: the handle is read-only, so the
  // file system refuses them. first <= m_SectorCount, far below 2^53, so the sum cannot wrap.
  NTSTATUS status;
  if (write ? first > UINT64_MAX / kSectorSize : first > m_SectorCount || first + count > m_SectorCount) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    status = TransferImageBytes(m_File.get(), first * kSectorSize, static_cast<uint64_t>(count) * kSectorSize,
                                buffer, write);
  }
  if (status < 0) {
    TRACE_ERR(write ? u"ISODisk::Write(%I64d,%d) - write failed %08lx\n" : u"ISODisk::Read(%I64d,%d) - read failed %08lx\n",
              static_cast<int64_t>(first), static_cast<int32_t>(count), static_cast<uint32_t>(status));
  }
  return status;
}

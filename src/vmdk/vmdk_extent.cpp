// Extent files: the read-write-then-read-only open, and flat extents.
#include "vmdk/vmdk_extent.h"

#include "disk/image_file.h"
#include "module/parse_trace.h"
#include "vmdk/vmdk_extent_set.h"

VMDKExtent::VMDKExtent(VMDKExtentSet* set, const WCHAR* path, uint64_t first, uint64_t last)
    : m_Set(set), m_FirstSector(first), m_LastSector(last), m_Path(path ? path : u"") {}

void VMDKExtent::Load() { OpenFile(); }

NTSTATUS VMDKExtent::Flush() {
  const NTSTATUS status = m_File ? ZwFlushBuffersFile(m_File.get()) : STATUS_SUCCESS;
  if (status < 0)
    TRACE_ERR(u"VMDKExtent::Flush %s failed %08lx\n", m_Path.c_str(), static_cast<uint32_t>(status));
  return status;
}

void VMDKExtent::OpenFile() {
  bool readOnly = m_Set->m_ReadOnly != 0;
  if (!readOnly) {
    const NTSTATUS status = OpenImageFile(m_Path.c_str(), false, m_File.put());
    if (status < 0) {
      TRACE_ERR(u"VMDKExtent::VMDKExtent %s open R/W failed %08lx\n", m_Path.c_str(),
                static_cast<uint32_t>(status));
      readOnly = true;
    }
  }
  if (readOnly) {
    m_Set->m_ReadOnly = 1;
    const NTSTATUS status = OpenImageFile(m_Path.c_str(), true, m_File.put());
    if (status < 0) {
      TRACE_ERR(u"VMDKExtent::VMDKExtent %s open R/O failed %08lx\n", m_Path.c_str(),
                static_cast<uint32_t>(status));
      m_File.Close();
    }
  }
}

NTSTATUS VMDKExtent::ReadRuns(const SectorRun* runs, size_t count) {
  NTSTATUS status = STATUS_SUCCESS;
  for (size_t i = 0; i < count; ++i) {
    const NTSTATUS st = Read(runs[i].sector, runs[i].count, runs[i].buffer);
    if (st < 0) status = st;
  }
  return status;
}

NTSTATUS VMDKFlatExtent::ReadRuns(const SectorRun* runs, size_t count) {
  if (!m_File) return VMDKExtent::ReadRuns(runs, count);  // each run traces "no file"
  ScatterReader reader(m_File.get());
  NTSTATUS status = STATUS_SUCCESS;
  for (size_t i = 0; i < count; ++i) {
    const NTSTATUS st = reader.Add(runs[i].sector, runs[i].count, runs[i].buffer);
    if (st < 0) status = st;
  }
  const NTSTATUS st = reader.Finish();
  if (st < 0) status = st;
  if (status < 0) {
    TRACE_ERR(u"VMDKFlatExtent::Read(%I64d,%d) - read failed %08lx\n", runs[0].sector,
              static_cast<int32_t>(runs[0].count), static_cast<uint32_t>(status));
  }
  return status;
}

NTSTATUS VMDKFlatExtent::Read(uint64_t e, uint32_t n, void* buffer) {
  return Transfer(e, n, static_cast<uint8_t*>(buffer), false);
}

NTSTATUS VMDKFlatExtent::Write(uint64_t e, uint32_t n, const void* buffer) {
  return Transfer(e, n, static_cast<uint8_t*>(const_cast<void*>(buffer)), true);
}

NTSTATUS VMDKFlatExtent::Transfer(uint64_t e, uint32_t n, uint8_t* buffer, bool write) {
  if (!m_File) {
    TRACE_ERR(write ? u"VMDKFlatExtent::Write(%I64d,%d) - no file\n" : u"VMDKFlatExtent::Read(%I64d,%d) - no file\n", e,
              static_cast<int32_t>(n));
    return STATUS_FILE_INVALID;
  }
  const NTSTATUS status =
      TransferImageBytes(m_File.get(), e * kVmdkSectorSize, uint64_t{n} * kVmdkSectorSize, buffer, write);
  if (status < 0) {
    TRACE_ERR(write ? u"VMDKFlatExtent::Write(%I64d,%d) - write failed %08lx\n"
                    : u"VMDKFlatExtent::Read(%I64d,%d) - read failed %08lx\n",
              e, static_cast<int32_t>(n), static_cast<uint32_t>(status));
  }
  return status;
}

// ESX sparse extents: the COWD header and grain tables created on demand.
#include "vmdk/vmdk_esx_sparse_extent.h"

#include "disk/image_file.h"
#include "module/parse_trace.h"
#include "platform/endian.h"

void VMDKESXSparseExtent::Load() {
  OpenFile();
  TRACE_DETAIL(u"ESXSparse extent : %s\n", m_Path.c_str());
  NTSTATUS status = STATUS_FILE_INVALID;
  if (m_File) {
    status = ZwQueryFileSize(m_File.get(), &m_FileSize);
    if (status >= 0 && m_FileSize < kHeaderSize) status = STATUS_END_OF_FILE;
    if (status >= 0) status = ReadImageBytes(m_File.get(), 0, kHeaderSize, m_Header);
  }
  if (status < 0) {
    TRACE_ERR(u"VMDKESXSparseExtent::VMDKESXSparseExtent %s failed to read header %08lx\n", m_Path.c_str(),
              static_cast<uint32_t>(status));
    return;
  }
  if (LoadLE32(m_Header) != kEsxSparseMagic) {
    TRACE_ERR(u"VMDKESXSparseExtent::VMDKESXSparseExtent header magicnumber is wrong \n");
    return;
  }
  const uint32_t sectors = LoadLE32(m_Header + 12);
  const uint32_t grainSize = LoadLE32(m_Header + 16);
  m_DirectorySector = LoadLE32(m_Header + 20);
  const uint32_t tables = LoadLE32(m_Header + 24);
  TRACE_DETAIL(u"Sectors in extent   : %I64d\n", uint64_t{sectors});
  TRACE_DETAIL(u"Sectors in a grain  : %u\n", grainSize);
  TRACE_DETAIL(u"NumberOfGrainTables : %d\n", static_cast<int32_t>(tables));
  m_NumGrainTables = tables;
  m_GrainSize = grainSize;
  m_NumGTEsPerGT = kGTEsPerGT;
  if (grainSize == 0 || grainSize > kMaxGrainSize) {
    TRACE_ERR(u"VMDKESXSparseExtent::VMDKESXSparseExtent %s grain size of %u sectors is out of range\n",
              m_Path.c_str(), grainSize);
    return;
  }
  if (m_DirectorySector < kHeaderSize / 512) {
    TRACE_ERR(u"VMDKESXSparseExtent::VMDKESXSparseExtent %s grain directory at sector %u overlaps the header\n",
              m_Path.c_str(), m_DirectorySector);
    return;
  }
  if (!CheckDirectoryMemory(1)) return;
  TRACE_DETAIL(u"Grain Directory - starts at sector %u\n", m_DirectorySector);
  if (ReadGrainDirectory(&m_Directory, m_DirectorySector) < 0) return;
  if (!CheckTableMemory(m_Directory, 1)) return;
  if (LoadGrainTables(m_Directory) < 0) return;
  AddMetadata(0, kHeaderSize / 512);
  AddMetadata(m_DirectorySector, DirectoryBytes() / 512);
  FinishMetadata();
  m_Valid = 1;
}

void VMDKESXSparseExtent::OnTableReadFailed(NTSTATUS status) {
  TRACE_ERR(u"VMDKESXSparseExtent::ReadGrainTable  call to VMDKSparseExtent::ReadGrainTable failed %08lx.\n",
            static_cast<uint32_t>(status));
}

NTSTATUS VMDKESXSparseExtent::WriteGrainTable(uint32_t index) {
  NTSTATUS status = WriteGrainTableAt(index, DirectoryEntry(m_Directory, index));
  if (status < 0) {
    TRACE_ERR(u"VMDKESXSparseExtent::WriteGrainTable  call to VMDKSparseExtent::WriteGrainTable failed %08lx.\n",
              static_cast<uint32_t>(status));
    return status;
  }
  // A new table reaches the directory only after its grain and entries are in the file.
  if (m_DirectoryDirty) {
    status = Flush();  // the table is on the disk before the directory points at it
    if (status >= 0) status = WriteGrainDirectory(m_Directory, m_DirectorySector);
    if (status < 0) {
      TRACE_ERR(u"VMDKESXSparseExtent::WriteNewGrainTable  call to WriteGrainDirectory failed %08lx.\n",
                static_cast<uint32_t>(status));
      return status;
    }
    m_DirectoryDirty = false;
  }
  return status;
}

NTSTATUS VMDKESXSparseExtent::WriteNewGrainTable(uint32_t index) {
  TRACE_DETAIL(u"VMDKESXSparseExtent::WriteNewGrainTable(%u).\n", index);
  if (index >= m_GrainTables.size()) return STATUS_INVALID_PARAMETER;
  uint32_t sector = 0;
  NTSTATUS status = ExtendAndClearForGrainTable(&sector);
  if (status < 0) {
    TRACE_ERR(u"VMDKESXSparseExtent::WriteNewGrainTable  call to ExtendAndClearForGrainTable failed %08lx.\n",
              static_cast<uint32_t>(status));
    return status;
  }
  status = CreateTableInMemory(index);
  if (status < 0) {
    TRACE_ERR(u"VMDKESXSparseExtent::WriteNewGrainTable  call to ReadGrainTable failed %08lx.\n",
              static_cast<uint32_t>(status));
    return status;
  }
  SetDirectoryEntry(&m_Directory, index, sector);
  AddMetadata(sector, TableBytes() / 512);
  FinishMetadata();
  m_DirectoryDirty = true;
  return STATUS_SUCCESS;
}

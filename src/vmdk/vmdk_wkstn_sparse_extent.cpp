// Hosted sparse extents: the KDMV header and the redundant grain directory.
#include "vmdk/vmdk_wkstn_sparse_extent.h"

#include <memory>
#include <new>

#include "disk/image_file.h"
#include "module/parse_trace.h"
#include "platform/endian.h"

bool VMDKWkstnSparseExtent::HeaderSupported(uint32_t flags, uint64_t gdOffset) {
  if (flags & kFlagMarkers) {
    TRACE_ERR(u"VMDKWkstnSparseExtent::VMDKWkstnSparseExtent %s has grain markers (stream-optimized), which this reader does not support\n",
              m_Path.c_str());
    return false;
  }
  if (gdOffset == ~uint64_t{0}) {
    TRACE_ERR(u"VMDKWkstnSparseExtent::VMDKWkstnSparseExtent %s keeps its grain directory at the end of the file (stream-optimized), which this reader does not support\n",
              m_Path.c_str());
    return false;
  }
  if (flags & kFlagCompressed) {
    TRACE_ERR(u"VMDKWkstnSparseExtent::VMDKWkstnSparseExtent %s has compressed grains, which this reader does not support\n",
              m_Path.c_str());
    return false;
  }
  if (gdOffset == 0) {
    TRACE_ERR(u"VMDKWkstnSparseExtent::VMDKWkstnSparseExtent %s has no grain directory\n", m_Path.c_str());
    return false;
  }
  const uint64_t grainSize = LoadLE64(m_Header + 20);
  if (grainSize == 0 || grainSize > kMaxGrainSize) {
    TRACE_ERR(u"VMDKWkstnSparseExtent::VMDKWkstnSparseExtent %s grain size of %I64d sectors is out of range\n",
              m_Path.c_str(), grainSize);
    return false;
  }
  const uint32_t gtes = LoadLE32(m_Header + 44);
  if (gtes == 0 || gtes > kMaxGTEsPerGT) {
    TRACE_ERR(u"VMDKWkstnSparseExtent::VMDKWkstnSparseExtent %s numGTEsPerGT of %u is out of range\n",
              m_Path.c_str(), gtes);
    return false;
  }
  return true;
}

bool VMDKWkstnSparseExtent::OtherDirectoryUsable(const std::vector<uint8_t>& used,
                                                 const std::vector<uint8_t>& other) {
  if (other.empty()) return false;
  for (uint32_t t = 0; t < m_NumGrainTables; ++t) {
    const uint32_t a = DirectoryEntry(used, t);
    const uint32_t b = DirectoryEntry(other, t);
    if ((a == 0) != (b == 0) || (b != 0 && !TableFits(b))) {
      TRACE_ERR(u"VMDKWkstnSparseExtent::VMDKWkstnSparseExtent %s grain directories disagree at table %u; tables are written through one directory only\n",
                m_Path.c_str(), t);
      return false;
    }
  }
  return true;
}

// Whether table t of the other copy is one to compare with ours.
bool VMDKWkstnSparseExtent::OtherTableWanted(const std::vector<uint8_t>& other, uint32_t t) const {
  const uint32_t sector = DirectoryEntry(other, t);
  return m_GrainTables[t] != nullptr && sector != 0 && TableFits(sector);
}

void VMDKWkstnSparseExtent::AdoptFromTable(uint32_t t, const uint8_t* copy) {
  for (uint32_t j = 0; j < m_NumGTEsPerGT; ++j) {
    const uint32_t entry = LoadLE32(copy + uint64_t{j} * 4);
    uint8_t* mine = m_GrainTables[t] + uint64_t{j} * 4;
    if (entry == 0 || LoadLE32(mine) != 0 || (uint64_t{entry} + m_GrainSize) * 512 > m_FileSize) continue;
    TRACE_DETAIL(u"     GrainTable[%d] entry %d recorded only by the other copy: grain at sector %u\n",
                 static_cast<int32_t>(t), static_cast<int32_t>(j), entry);
    StoreLE32(mine, entry);
  }
}

void VMDKWkstnSparseExtent::AdoptGrainsOfOtherCopy(const std::vector<uint8_t>& other) {
  // Tables of the other copy that lie back to back in the file are read together, through one
  // scratch buffer of at most kOtherCopyRunBytes (writers lay all tables out in one run, so a
  // 2 TB disk's 128 MiB of tables takes 32 reads instead of 65,536). A failed joint read is
  // retried table by table, so the outcome is that of reading each table alone: adoption stops
  // at the first table that cannot be read.
  constexpr uint64_t kOtherCopyRunBytes = 4u << 20;
  const uint32_t tableBytes = TableBytes();
  const uint32_t tableSectors = tableBytes / 512;
  const uint64_t maxRun = tableBytes % 512 == 0 && tableBytes <= kOtherCopyRunBytes ? kOtherCopyRunBytes / tableBytes : 1;
  uint64_t tables = 0;
  for (uint32_t t = 0; t < m_NumGrainTables; ++t) tables += OtherTableWanted(other, t) ? 1 : 0;
  if (tables == 0) return;
  const uint64_t scratchTables = tables < maxRun ? tables : maxRun;
  TableMemory scratch = AllocateTableMemory(scratchTables * tableBytes, false);
  if (!scratch) return;
  for (uint32_t t = 0; t < m_NumGrainTables;) {
    if (!OtherTableWanted(other, t)) {
      ++t;
      continue;
    }
    const uint32_t sector = DirectoryEntry(other, t);
    uint32_t run = 1;
    while (run < scratchTables && t + run < m_NumGrainTables && OtherTableWanted(other, t + run) &&
           uint64_t{DirectoryEntry(other, t + run)} == uint64_t{sector} + uint64_t{run} * tableSectors) {
      ++run;
    }
    if (ReadImageBytes(m_File.get(), uint64_t{sector} * 512, uint64_t{run} * tableBytes, scratch.get()) >= 0) {
      for (uint32_t k = 0; k < run; ++k) AdoptFromTable(t + k, scratch.get() + uint64_t{k} * tableBytes);
    } else {
      for (uint32_t k = 0; k < run; ++k) {
        if (ReadImageBytes(m_File.get(), uint64_t{DirectoryEntry(other, t + k)} * 512, tableBytes, scratch.get()) < 0)
          return;
        AdoptFromTable(t + k, scratch.get());
      }
    }
    t += run;
  }
}

void VMDKWkstnSparseExtent::Load() {
  OpenFile();
  TRACE_DETAIL(u"Sparse extent : %s\n", m_Path.c_str());
  NTSTATUS status = STATUS_FILE_INVALID;
  if (m_File) {
    status = ZwQueryFileSize(m_File.get(), &m_FileSize);
    if (status >= 0 && m_FileSize < sizeof(m_Header)) status = STATUS_END_OF_FILE;
    if (status >= 0) status = ReadImageBytes(m_File.get(), 0, sizeof(m_Header), m_Header);
  }
  if (status < 0) {
    TRACE_ERR(u"VMDKWkstnSparseExtent::VMDKWkstnSparseExtent %s failed to read header %08lx\n", m_Path.c_str(),
              static_cast<uint32_t>(status));
    return;
  }
  if (LoadLE32(m_Header) != kHostedSparseMagic) {
    TRACE_ERR(u"VMDKWkstnSparseExtent::VMDKWkstnSparseExtent header magicnumber is wrong \n");
    return;
  }
  const uint32_t flags = LoadLE32(m_Header + 8);
  m_UseBackupDirectory = (flags & kFlagRedundantDirectory) ? 1 : 0;
  TRACE_DETAIL(m_UseBackupDirectory ? u"Using backup Grain Directory\n" : u"Using regular Directory\n");
  const uint64_t capacity = LoadLE64(m_Header + 12);
  const uint64_t grainSize = LoadLE64(m_Header + 20);
  const uint32_t gtes = LoadLE32(m_Header + 44);
  const uint64_t rgdOffset = LoadLE64(m_Header + 48);
  const uint64_t gdOffset = LoadLE64(m_Header + 56);
  TRACE_DETAIL(u"Sectors in extent   : %I64d\n", capacity);
  TRACE_DETAIL(u"Sectors in a grain  : %I64d\n", grainSize);
  TRACE_DETAIL(u"numGTEsPerGT        : %d\n", static_cast<int32_t>(gtes));
  if (!HeaderSupported(flags, gdOffset)) return;
  m_GrainSize = static_cast<uint32_t>(grainSize);
  m_NumGTEsPerGT = gtes;
  const uint64_t grains = static_cast<uint32_t>(capacity / grainSize);
  m_NumGrainTables = static_cast<uint32_t>(((grains + gtes - 1) & ~uint64_t{gtes - 1}) / gtes);
  TRACE_DETAIL(u"NumberOfGrainTables : %d\n", static_cast<int32_t>(m_NumGrainTables));
  if (m_UseBackupDirectory && rgdOffset == 0) {
    TRACE_DETAIL(u"No redundant Grain Directory - using regular Directory\n");
    m_UseBackupDirectory = 0;
  }
  if (!CheckDirectoryMemory(rgdOffset != 0 ? 2 : 1)) return;
  if (rgdOffset != 0) {
    TRACE_DETAIL(u"Backup Grain Directory - starts at sector %I64d\n", rgdOffset);
    if (ReadGrainDirectory(&m_BackupDirectory, rgdOffset) < 0) return;
  }
  TRACE_DETAIL(u"Normal Grain Directory - starts at sector %I64d\n", gdOffset);
  if (ReadGrainDirectory(&m_Directory, gdOffset) < 0) return;
  const std::vector<uint8_t>& used = m_UseBackupDirectory ? m_BackupDirectory : m_Directory;
  const std::vector<uint8_t>& other = m_UseBackupDirectory ? m_Directory : m_BackupDirectory;
  if (!CheckTableMemory(used, rgdOffset != 0 ? 2 : 1)) return;
  if (LoadGrainTables(used) < 0) return;
  AddMetadata(0, 1);
  AddMetadata(LoadLE64(m_Header + 28), LoadLE64(m_Header + 28) != 0 ? LoadLE64(m_Header + 36) : 0);
  AddMetadata(gdOffset, DirectoryBytes() / 512);
  if (rgdOffset != 0) AddMetadata(rgdOffset, DirectoryBytes() / 512);
  for (uint32_t t = 0; t < m_NumGrainTables; ++t) {
    const uint32_t sector = DirectoryEntry(other, t);
    if (sector != 0) AddMetadata(sector, (TableBytes() + 511) / 512);
  }
  FinishMetadata();
  const bool otherUsable = OtherDirectoryUsable(used, other);
  if (otherUsable && m_UseBackupDirectory) AdoptGrainsOfOtherCopy(other);
  m_WritePrimary = !m_UseBackupDirectory || otherUsable;
  m_WriteBackup = m_UseBackupDirectory || otherUsable;
  m_Valid = 1;
}

NTSTATUS VMDKWkstnSparseExtent::WriteGrainTable(uint32_t index) {
  // Both copies come from the one table in memory; the first failure is the answer.
  const uint32_t primary = m_WritePrimary ? DirectoryEntry(m_Directory, index) : 0;
  const uint32_t backup = m_WriteBackup ? DirectoryEntry(m_BackupDirectory, index) : 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (primary != 0) status = WriteGrainTableAt(index, primary);
  // The primary copy is on the disk before the redundant one changes: one of them always
  // holds a whole table.
  if (status >= 0 && backup != 0 && backup != primary && primary != 0) status = Flush();
  if (status >= 0 && backup != 0 && backup != primary) status = WriteGrainTableAt(index, backup);
  return status;
}

NTSTATUS VMDKWkstnSparseExtent::WriteNewGrainTable(uint32_t) {
  // Hosted extents never add tables: an area whose directory entry is 0 cannot be written.
  return STATUS_FILE_CORRUPT_ERROR;
}

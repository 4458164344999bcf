// Sparse extents: grain directories and tables, reads through them, grain allocation.
#include "vmdk/vmdk_sparse_extent.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "disk/image_file.h"
#include "module/parse_trace.h"
#include "platform/endian.h"
#include "vmdk/vmdk_extent_set.h"
#include "vmdk/vmdk_virtual_disk.h"

namespace {
constexpr uint64_t kMaxTableRunBytes = 16u << 20;  // one read of neighbouring tables
constexpr uint64_t kMaxFileSector = 0xFFFFFFFFull;  // table entries are 32-bit sectors
}  // namespace

VMDKSparseExtent::TableMemory VMDKSparseExtent::AllocateTableMemory(uint64_t bytes, bool zeroed) {
  constexpr uint64_t kHugePage = 2u << 20;
  if (bytes == 0 || bytes > SIZE_MAX / 2) return nullptr;
  uint8_t* p;
  if (bytes >= kHugePage) {
    const uint64_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    p = static_cast<uint8_t*>(aligned_alloc(kHugePage, rounded));
    if (p) madvise(p, rounded, MADV_HUGEPAGE);  // advice only: 4 KiB pages still work
  } else {
    p = static_cast<uint8_t*>(malloc(bytes));
  }
  if (p && zeroed) memset(p, 0, bytes);
  return TableMemory(p);
}

uint32_t VMDKSparseExtent::DirectoryEntry(const std::vector<uint8_t>& dir, uint32_t t) {
  return (uint64_t{t} * 4 + 4 <= dir.size()) ? LoadLE32(dir.data() + uint64_t{t} * 4) : 0;
}

void VMDKSparseExtent::SetDirectoryEntry(std::vector<uint8_t>* dir, uint32_t t, uint32_t sector) {
  if (uint64_t{t} * 4 + 4 <= dir->size()) StoreLE32(dir->data() + uint64_t{t} * 4, sector);
}

bool VMDKSparseExtent::CheckDirectoryMemory(uint32_t copies) {
  const uint64_t need = DirectoryBytes() * copies;
  if (need > MemoryLimit()) {
    TRACE_ERR(u"VMDKSparseExtent::CheckLayout %s grain directory of %I64d bytes is more than a file of %I64d bytes can hold\n",
              m_Path.c_str(), need, m_FileSize);
    return false;
  }
  return true;
}

bool VMDKSparseExtent::CheckTableMemory(const std::vector<uint8_t>& dir, uint32_t copies) {
  uint64_t tables = 0;
  for (uint32_t t = 0; t < m_NumGrainTables; ++t) {
    if (DirectoryEntry(dir, t) != 0) ++tables;
  }
  const uint64_t need = DirectoryBytes() * copies + tables * TableBytes();
  if (need > MemoryLimit()) {
    TRACE_ERR(u"VMDKSparseExtent::CheckLayout %s grain tables need %I64d bytes, more than a file of %I64d bytes can hold\n",
              m_Path.c_str(), need, m_FileSize);
    return false;
  }
  return true;
}

bool VMDKSparseExtent::TableFits(uint32_t sector) const {
  return sector != 0 && uint64_t{sector} * 512 + TableBytes() <= m_FileSize;
}

NTSTATUS VMDKSparseExtent::ReadGrainDirectory(std::vector<uint8_t>* dir, uint64_t sector) {
  const uint64_t size = DirectoryBytes();
  TRACE_DETAIL(u"    Grain directory size = %d entries\n", static_cast<int32_t>(m_NumGrainTables));
  TRACE_DETAIL(u"    Grain directory size = %d bytes (rounded up)\n", static_cast<int32_t>(size));
  dir->clear();
  try {
    dir->assign(size, 0);
  } catch (const std::bad_alloc&) {
    TRACE_ERR(u"VMDKSparseExtent::ReadGrainDirectory failed to allocate memory for grain tables\n");
    return STATUS_NO_MEMORY;
  }
  NTSTATUS status;
  if (sector > m_FileSize / 512 || sector * 512 + uint64_t{m_NumGrainTables} * 4 > m_FileSize) {
    status = STATUS_END_OF_FILE;  // the directory does not lie inside the file
  } else {
    status = ReadImageBytes(m_File.get(), sector * 512, size, dir->data());
  }
  if (status < 0) {
    TRACE_ERR(u"VMDKSparseExtent::ReadGrainDirectory failed to read grain directory from file %08lx\n",
              static_cast<uint32_t>(status));
    dir->clear();
    return status;
  }
  if (!ParseDetailsWritten()) return STATUS_SUCCESS;  // nobody records the dump
  std::string line = "    ";
  char item[64];
  for (uint32_t t = 0; t < m_NumGrainTables; ++t) {
    snprintf(item, sizeof(item), "    GrainTable[%3u] @ sector %8u", t, DirectoryEntry(*dir, t));
    line += item;
    if ((t + 1) % 8 == 0) {
      line += "\n";
      TRACE_DETAIL(u"%hs", line.c_str());
      line = "    ";
    }
  }
  line += "\n";
  TRACE_DETAIL(u"%hs", line.c_str());
  return STATUS_SUCCESS;
}

NTSTATUS VMDKSparseExtent::WriteGrainDirectory(const std::vector<uint8_t>& dir, uint64_t sector) {
  TRACE_DETAIL(u"    Grain directory size = %d entries\n", static_cast<int32_t>(m_NumGrainTables));
  TRACE_DETAIL(u"    Grain directory size = %d bytes (rounded up)\n", static_cast<int32_t>(dir.size()));
  const NTSTATUS status = WriteImageBytes(m_File.get(), sector * 512, dir.size(), dir.data());
  if (status < 0) {
    TRACE_ERR(u"VMDKSparseExtent::WriteGrainDirectory failed to write grain directory to file %08lx\n",
              static_cast<uint32_t>(status));
  }
  return status;
}

NTSTATUS VMDKSparseExtent::LoadGrainTables(const std::vector<uint8_t>& dir) {
  m_GrainTables.clear();
  m_TableBlocks.clear();
  try {
    m_GrainTables.assign(m_NumGrainTables, nullptr);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  const uint32_t tableBytes = TableBytes();
  const bool canJoin = tableBytes % 512 == 0;
  const uint32_t tableSectors = tableBytes / 512;
  for (uint32_t t = 0; t < m_NumGrainTables;) {
    const uint32_t sector = DirectoryEntry(dir, t);
    if (sector == 0) {
      ++t;
      continue;
    }
    if (!TableFits(sector)) {
      TRACE_ERR(u"VMDKSparseExtent::ReadGrainTable grain table %u at sector %u lies outside the file\n", t, sector);
      TRACE_ERR(u"VMDKWkstnSparseExtent::ReadGrainTable failed to read grain table from file %08lx\n",
                static_cast<uint32_t>(STATUS_END_OF_FILE));
      OnTableReadFailed(STATUS_END_OF_FILE);
      return STATUS_END_OF_FILE;
    }
    // Tables stored back to back are read together.
    uint32_t run = 1;
    while (canJoin && t + run < m_NumGrainTables && uint64_t{run + 1} * tableBytes <= kMaxTableRunBytes &&
           uint64_t{DirectoryEntry(dir, t + run)} == uint64_t{sector} + uint64_t{run} * tableSectors &&
           TableFits(DirectoryEntry(dir, t + run))) {
      ++run;
    }
    const uint64_t bytes = uint64_t{run} * tableBytes;
    TableMemory block = AllocateTableMemory(bytes, false);
    if (!block) {
      TRACE_ERR(u"VMDKWkstnSparseExtent::ReadGrainTable failed to allocate memory for grain tables\n");
      return STATUS_NO_MEMORY;
    }
    const NTSTATUS status = ReadImageBytes(m_File.get(), uint64_t{sector} * 512, bytes, block.get());
    if (status < 0) {
      TRACE_ERR(u"VMDKWkstnSparseExtent::ReadGrainTable failed to read grain table from file %08lx\n",
                static_cast<uint32_t>(status));
      OnTableReadFailed(status);
      return status;
    }
    const bool dump = ParseDetailsWritten();
    for (uint32_t k = 0; k < run; ++k) {
      uint8_t* table = block.get() + uint64_t{k} * tableBytes;
      m_GrainTables[t + k] = table;
      if (!dump) continue;  // nobody records the dump
      // An empty table (most of a large sparse disk) gives its three detail lines in one
      // message: the same lines, at half the cost of tracing.
      if (table[0] == 0 && memcmp(table, table + 1, tableBytes - 1) == 0) {  // all bytes zero
        TRACE_DETAIL(u"     Reading GrainTable[%d] from sector %d.  Size = %d entries \n        \n      %d grains resident from this grain table\n",
                     static_cast<int32_t>(t + k), static_cast<int32_t>(DirectoryEntry(dir, t + k)),
                     static_cast<int32_t>(m_NumGTEsPerGT), 0);
        continue;
      }
      TRACE_DETAIL(u"     Reading GrainTable[%d] from sector %d.  Size = %d entries \n",
                   static_cast<int32_t>(t + k), static_cast<int32_t>(DirectoryEntry(dir, t + k)),
                   static_cast<int32_t>(m_NumGTEsPerGT));
      std::string line = "        ";
      char item[48];
      uint32_t resident = 0;
      for (uint32_t j = 0; j < m_NumGTEsPerGT; ++j) {
        const uint32_t entry = LoadLE32(table + uint64_t{j} * 4);
        if (entry == 0) continue;
        snprintf(item, sizeof(item), "%4u=%8u    ", j, entry);
        line += item;
        if (++resident % 16 == 0) {
          line += "\n";
          TRACE_DETAIL(u"%hs", line.c_str());
          line = "        ";
        }
      }
      TRACE_DETAIL(u"%hs\n      %d grains resident from this grain table\n", line.c_str(),
                   static_cast<int32_t>(resident));
    }
    m_TableBlocks.push_back(std::move(block));
    t += run;
  }
  return STATUS_SUCCESS;
}

NTSTATUS VMDKSparseExtent::WriteGrainTableAt(uint32_t index, uint32_t sector) {
  NTSTATUS status;
  if (index >= m_GrainTables.size() || m_GrainTables[index] == nullptr || !TableFits(sector)) {
    status = STATUS_FILE_CORRUPT_ERROR;  // never write a table outside the file or over the header
  } else {
    status = WriteImageBytes(m_File.get(), uint64_t{sector} * 512, TableBytes(), m_GrainTables[index]);
  }
  if (status < 0) {
    TRACE_ERR(u"VMDKSparseExtent::WriteGrainTable failed to write grain table to file %08lx\n",
              static_cast<uint32_t>(status));
  }
  return status;
}

NTSTATUS VMDKSparseExtent::CreateTableInMemory(uint32_t index) {
  TableMemory block = AllocateTableMemory(TableBytes(), true);
  if (!block) return STATUS_NO_MEMORY;
  try {
    m_TableBlocks.push_back(std::move(block));
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  m_GrainTables[index] = m_TableBlocks.back().get();
  return STATUS_SUCCESS;
}

NTSTATUS VMDKSparseExtent::ExtendAndClear(uint32_t sectors, uint32_t* first) {
  uint64_t size = 0;
  NTSTATUS status = ZwQueryFileSize(m_File.get(), &size);
  if (status < 0) return status;
  const uint64_t start = (size + 511) / 512;
  if (start + sectors > kMaxFileSector) return STATUS_DISK_FULL;
  std::unique_ptr<uint8_t[]> zeros(new (std::nothrow) uint8_t[uint64_t{sectors} * 512]());
  if (!zeros) return STATUS_NO_MEMORY;
  status = WriteImageBytes(m_File.get(), start * 512, uint64_t{sectors} * 512, zeros.get());
  if (status < 0) {
    ZwSetEndOfFile(m_File.get(), size);  // give back whatever was added
    return status;
  }
  *first = static_cast<uint32_t>(start);
  if ((start + sectors) * 512 > m_FileSize) m_FileSize = (start + sectors) * 512;
  return STATUS_SUCCESS;
}

uint32_t VMDKSparseExtent::Entry(uint64_t t, uint32_t j) const {
  const uint8_t* table = m_GrainTables[t];
  return table ? LoadLE32(table + uint64_t{j} * 4) : 0;
}

VMDKSparseExtent::Span VMDKSparseExtent::Locate(uint64_t e, uint32_t n) const {
  const uint64_t perTable = uint64_t{m_GrainSize} * m_NumGTEsPerGT;
  uint64_t t = e / perTable;
  if (t >= m_GrainTables.size()) return {SpanKind::kBeyondTables, 0, n};
  uint32_t j = static_cast<uint32_t>((e % perTable) / m_GrainSize);
  const uint32_t o = static_cast<uint32_t>(e % m_GrainSize);
  const uint32_t entry = Entry(t, j);
  uint32_t count = m_GrainSize - o < n ? m_GrainSize - o : n;
  const uint64_t fileSector = uint64_t{entry} + o;
  if (entry != 0 && (fileSector + count) * 512 > m_FileSize) return {SpanKind::kPastEnd, fileSector, count};
  // Extend grain by grain while the next grain is of the same kind (and, for data, follows
  // directly in the file).
  while (count < n) {
    if (++j == m_NumGTEsPerGT) {
      j = 0;
      if (++t >= m_GrainTables.size()) break;
    }
    const uint32_t next = Entry(t, j);
    const uint32_t add = m_GrainSize < n - count ? m_GrainSize : n - count;
    if (entry == 0) {
      if (next != 0) break;
    } else if (uint64_t{next} != fileSector + count || (fileSector + count + add) * 512 > m_FileSize) {
      break;
    }
    count += add;
  }
  return {entry == 0 ? SpanKind::kHole : SpanKind::kData, fileSector, count};
}

NTSTATUS VMDKSparseExtent::ReadHole(uint64_t e, uint32_t n, uint8_t* b, uint64_t traceE, uint32_t traceN) {
  VMDKVirtualDisk* parent = m_Owner->m_Owner ? m_Owner->m_Owner->Parent() : nullptr;
  const uint64_t disk = m_FirstSector + e;
  uint32_t fromParent = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (parent != nullptr && disk < parent->SectorCount()) {
    const uint64_t room = parent->SectorCount() - disk;
    fromParent = room < n ? static_cast<uint32_t>(room) : n;
    status = parent->Read(disk, fromParent, b);
    if (status < 0) {
      TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - read from parent failed %08lx\n", traceE,
                static_cast<int32_t>(traceN), static_cast<uint32_t>(status));
    }
  }
  // Past the parent's end (or with no parent) the disk reads as zeros.
  memset(b + uint64_t{fromParent} * 512, 0, uint64_t{n - fromParent} * 512);
  return status;
}

NTSTATUS VMDKSparseExtent::Read(uint64_t e, uint32_t n, void* buffer) {
  NTSTATUS status = STATUS_SUCCESS;
  if (!m_File) {
    TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - no file\n", e, static_cast<int32_t>(n));
    status = STATUS_FILE_INVALID;
  }
  if (!m_Valid) {
    TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - no grain data\n", e, static_cast<int32_t>(n));
    status = STATUS_NO_MEMORY;
  }
  if (status < 0) return status;
  uint8_t* b = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    const Span span = Locate(e, n);
    switch (span.kind) {
      case SpanKind::kBeyondTables:
        TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - sector lies beyond the grain tables\n", e,
                  static_cast<int32_t>(n));
        memset(b, 0, uint64_t{n} * 512);
        return STATUS_INVALID_PARAMETER;
      case SpanKind::kPastEnd:
        TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - grain at file sector %I64d lies past the end of the file\n",
                  e, static_cast<int32_t>(n), span.fileSector);
        memset(b, 0, uint64_t{span.count} * 512);
        status = STATUS_FILE_CORRUPT_ERROR;
        break;
      case SpanKind::kHole:
        status = ReadHole(e, span.count, b, e, n);
        break;
      case SpanKind::kData:
        status = ReadImageBytes(m_File.get(), span.fileSector * 512, uint64_t{span.count} * 512, b);
        if (status < 0) {
          TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - read failed %08lx\n", e, static_cast<int32_t>(n),
                    static_cast<uint32_t>(status));
        }
        break;
    }
    n -= span.count;
    e += span.count;
    b += uint64_t{span.count} * 512;
  }
  return status;
}

NTSTATUS VMDKSparseExtent::AllocateGrains(uint64_t grainStart, uint32_t grains, uint32_t o, uint32_t n,
                                          const uint8_t* b, uint32_t* firstSector, uint64_t traceE,
                                          uint32_t traceN) {
  uint64_t size = 0;
  NTSTATUS status = ZwQueryFileSize(m_File.get(), &size);
  if (status < 0) return status;
  const uint64_t start = (size + 511) / 512;
  const uint64_t sectors = uint64_t{grains} * m_GrainSize;
  if (start + sectors > kMaxFileSector) {
    TRACE_ERR(u"VMDKSparseExtent::Write(%I64d,%d) - the extent file cannot grow past 2 TB\n", traceE,
              static_cast<int32_t>(traceN));
    return STATUS_DISK_FULL;
  }
  const uint8_t* data = b;
  if (!(o == 0 && uint64_t{n} == sectors)) {
    // A partly written grain: start from the parent's sectors (or zeros), then lay the data in.
    if (!m_GrainBuffer) {
      m_GrainBuffer.reset(new (std::nothrow) uint8_t[uint64_t{m_GrainSize} * 512]);
      if (!m_GrainBuffer) return STATUS_NO_MEMORY;
    }
    status = ReadHole(grainStart, m_GrainSize, m_GrainBuffer.get(), traceE, traceN);
    if (status < 0) return status;
    memcpy(m_GrainBuffer.get() + uint64_t{o} * 512, b, uint64_t{n} * 512);
    data = m_GrainBuffer.get();
  }
  status = WriteImageBytes(m_File.get(), start * 512, sectors * 512, data);
  if (status < 0) {
    TRACE_ERR(u"VMDKSparseExtent::Write(%I64d,%d) - write failed %08lx\n", traceE, static_cast<int32_t>(traceN),
              static_cast<uint32_t>(status));
    ZwSetEndOfFile(m_File.get(), size);
    return status;
  }
  *firstSector = static_cast<uint32_t>(start);
  if ((start + sectors) * 512 > m_FileSize) m_FileSize = (start + sectors) * 512;
  return STATUS_SUCCESS;
}

NTSTATUS VMDKSparseExtent::FlushTable(int64_t t, std::vector<uint32_t>* entries) {
  if (t < 0 || entries->empty()) return STATUS_SUCCESS;
  const NTSTATUS status = WriteGrainTable(static_cast<uint32_t>(t));
  if (status < 0) {
    // The file does not record these grains: forget them so memory and file agree.
    for (uint32_t j : *entries) StoreLE32(m_GrainTables[t] + uint64_t{j} * 4, 0);
  }
  entries->clear();
  return status;
}

NTSTATUS VMDKSparseExtent::Write(uint64_t e, uint32_t n, const void* buffer) {
  NTSTATUS status = STATUS_SUCCESS;
  if (!m_File) {
    TRACE_ERR(u"VMDKSparseExtent::Write(%I64d,%d) - no file\n", e, static_cast<int32_t>(n));
    status = STATUS_FILE_INVALID;
  }
  if (!m_Valid) {
    TRACE_ERR(u"VMDKSparseExtent::Write(%I64d,%d) - no grain data\n", e, static_cast<int32_t>(n));
    status = STATUS_NO_MEMORY;
  }
  if (status < 0) return status;
  const uint8_t* b = static_cast<const uint8_t*>(buffer);
  const uint64_t perTable = uint64_t{m_GrainSize} * m_NumGTEsPerGT;
  // New grains of one table are recorded with one table write after their data is written.
  int64_t pendingTable = -1;
  std::vector<uint32_t> pending;
  while (n > 0) {
    const uint64_t t = e / perTable;
    if (t >= m_GrainTables.size()) {
      TRACE_ERR(u"VMDKSparseExtent::Write(%I64d,%d) - sector lies beyond the grain tables\n", e,
                static_cast<int32_t>(n));
      status = STATUS_INVALID_PARAMETER;
      break;
    }
    const uint32_t j = static_cast<uint32_t>((e % perTable) / m_GrainSize);
    const uint32_t o = static_cast<uint32_t>(e % m_GrainSize);
    uint32_t piece = m_GrainSize - o < n ? m_GrainSize - o : n;
    if (static_cast<int64_t>(t) != pendingTable) {
      const NTSTATUS flushed = FlushTable(pendingTable, &pending);
      if (flushed < 0) status = flushed;
      pendingTable = static_cast<int64_t>(t);
    }
    if (m_GrainTables[t] == nullptr) {
      WriteNewGrainTable(static_cast<uint32_t>(t));
      status = STATUS_FILE_CORRUPT_ERROR;
      if (m_GrainTables[t] == nullptr) {
        TRACE_ERR(u"VMDKSparseExtent::Write(%I64d,%d) - no grain table for this area\n", e,
                  static_cast<int32_t>(n));
        n -= piece;
        e += piece;
        b += uint64_t{piece} * 512;
        continue;
      }
    }
    if (Entry(t, j) != 0) {
      const Span span = Locate(e, n);
      if (span.kind == SpanKind::kData) {
        piece = span.count;
        status = WriteImageBytes(m_File.get(), span.fileSector * 512, uint64_t{piece} * 512, b);
        if (status < 0) {
          TRACE_ERR(u"VMDKSparseExtent::Write(%I64d,%d) - write failed %08lx\n", e, static_cast<int32_t>(n),
                    static_cast<uint32_t>(status));
        }
      } else {
        TRACE_ERR(u"VMDKSparseExtent::Write(%I64d,%d) - grain at file sector %I64d lies past the end of the file\n",
                  e, static_cast<int32_t>(n), span.fileSector);
        status = STATUS_FILE_CORRUPT_ERROR;
      }
    } else {
      // Whole unallocated grains of this table covered by the request go out in one write.
      uint32_t grains = 1;
      if (o == 0 && piece == m_GrainSize) {
        while (j + grains < m_NumGTEsPerGT && Entry(t, j + grains) == 0 &&
               uint64_t{grains + 1} * m_GrainSize <= n) {
          ++grains;
        }
        piece = grains * m_GrainSize;
      }
      uint32_t g = 0;
      status = AllocateGrains(e - o, grains, o, piece, b, &g, e, n);
      if (status >= 0) {
        try {
          pending.reserve(pending.size() + grains);
        } catch (const std::bad_alloc&) {
          status = STATUS_NO_MEMORY;  // the grains stay unrecorded space at the end of the file
        }
      }
      if (status >= 0) {
        for (uint32_t k = 0; k < grains; ++k) {
          StoreLE32(m_GrainTables[t] + uint64_t{j + k} * 4, g + k * m_GrainSize);
          pending.push_back(j + k);
        }
      }
    }
    n -= piece;
    e += piece;
    b += uint64_t{piece} * 512;
  }
  const NTSTATUS flushed = FlushTable(pendingTable, &pending);
  if (flushed < 0) status = flushed;
  return status;
}

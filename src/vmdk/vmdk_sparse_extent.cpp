// Sparse extents: grain directories and tables, reads through them, grain allocation.
#include "vmdk/vmdk_sparse_extent.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "disk/image_file.h"
#include "disk/run_alongside.h"
#include "module/parse_trace.h"
#include "platform/endian.h"
#include "vmdk/vmdk_extent_set.h"
#include "vmdk/vmdk_virtual_disk.h"

namespace {
constexpr uint64_t kMaxTableRunBytes = 16u << 20;  // one read of neighbouring tables
constexpr uint64_t kMaxFileSector = 0xFFFFFFFFull;  // table entries are 32-bit sectors
// Below this share of a read on each side (the extent's file, the parent) handing one side to
// the helper thread costs about what it saves (a wake-up against the copy of the share).
constexpr uint64_t kMinSplitShare = 256u << 10;
}  // namespace

VMDKSparseExtent::TableMemory VMDKSparseExtent::AllocateTableMemory(uint64_t bytes, bool zeroed) {
  constexpr uint64_t kHugePage = 2u << 20;
  if (bytes == 0 || bytes > SIZE_MAX / 2) throw std::bad_alloc();
  uint8_t* p;
  if (bytes >= kHugePage) {
    const uint64_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    p = static_cast<uint8_t*>(aligned_alloc(kHugePage, rounded));
    if (p) madvise(p, rounded, MADV_HUGEPAGE);  // advice only: 4 KiB pages still work
  } else {
    p = static_cast<uint8_t*>(malloc(bytes));
  }
  if (!p) throw std::bad_alloc();
  if (zeroed) memset(p, 0, bytes);
  return TableMemory(p);
}

uint32_t VMDKSparseExtent::DirectoryEntry(const std::vector<uint8_t>& dir, uint32_t t) {
  return (uint64_t{t} * 4 + 4 <= dir.size()) ? LoadLE32(dir.data() + uint64_t{t} * 4) : 0;
}

void VMDKSparseExtent::SetDirectoryEntry(std::vector<uint8_t>* dir, uint32_t t, uint32_t sector) {
  if (uint64_t{t} * 4 + 4 <= dir->size()) StoreLE32(dir->data() + uint64_t{t} * 4, sector);
}

uint64_t VMDKSparseExtent::MemoryLimit() const {
  const uint64_t sectors = m_LastSector - m_FirstSector + 1;
  const uint64_t grains = (sectors + m_GrainSize - 1) / m_GrainSize;
  const uint64_t tables = (grains + m_NumGTEsPerGT - 1) / m_NumGTEsPerGT;
  return 2 * ((tables * 4 + 511) & ~uint64_t{511}) + tables * TableBytes() + (1u << 20);
}

bool VMDKSparseExtent::CheckDirectoryMemory(uint32_t copies) {
  const uint64_t need = DirectoryBytes() * copies;
  // The directories are read from the file: one larger than the file is not a directory.
  if (need > MemoryLimit() || need > m_FileSize) {
    TRACE_ERR(u"VMDKSparseExtent::CheckLayout %s grain directory of %I64d bytes is more than an extent of %I64d sectors needs\n",
              m_Path.c_str(), need, m_LastSector - m_FirstSector + 1);
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
  // Every table of a real extent has its own place in the file: entries that share places to
  // make a small file claim many tables are refused as well as tables the disk does not need.
  if (need > MemoryLimit() || need > m_FileSize) {
    TRACE_ERR(u"VMDKSparseExtent::CheckLayout %s grain tables take %I64d bytes, more than an extent of %I64d sectors needs\n",
              m_Path.c_str(), need, m_LastSector - m_FirstSector + 1);
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
  dir->assign(size, 0);
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
  m_GrainTables.assign(m_NumGrainTables, nullptr);
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
    const NTSTATUS status = ReadImageBytes(m_File.get(), uint64_t{sector} * 512, bytes, block.get());
    if (status < 0) {
      TRACE_ERR(u"VMDKWkstnSparseExtent::ReadGrainTable failed to read grain table from file %08lx\n",
                static_cast<uint32_t>(status));
      OnTableReadFailed(status);
      return status;
    }
    AddMetadata(sector, (bytes + 511) / 512);
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
  m_TableBlocks.push_back(std::move(block));
  m_GrainTables[index] = m_TableBlocks.back().get();
  return STATUS_SUCCESS;
}

NTSTATUS VMDKSparseExtent::ExtendAndClear(uint32_t sectors, uint32_t* first) {
  uint64_t size = 0;
  NTSTATUS status = ZwQueryFileSize(m_File.get(), &size);
  if (status < 0) return status;
  const uint64_t start = (size + 511) / 512;
  if (start + sectors > kMaxFileSector) return STATUS_DISK_FULL;
  const auto zeros = std::make_unique<uint8_t[]>(uint64_t{sectors} * 512);
  status = WriteImageBytes(m_File.get(), start * 512, uint64_t{sectors} * 512, zeros.get());
  if (status < 0) {
    ZwSetEndOfFile(m_File.get(), size);  // give back whatever was added
    return status;
  }
  *first = static_cast<uint32_t>(start);
  if ((start + sectors) * 512 > m_FileSize) m_FileSize = (start + sectors) * 512;
  return STATUS_SUCCESS;
}

void VMDKSparseExtent::AddMetadata(uint64_t first, uint64_t sectors) {
  if (sectors != 0) m_Metadata.emplace_back(first, first + sectors);
}

void VMDKSparseExtent::FinishMetadata() {
  std::sort(m_Metadata.begin(), m_Metadata.end());
  size_t out = 0;
  for (size_t i = 0; i < m_Metadata.size(); ++i) {
    if (out != 0 && m_Metadata[i].first <= m_Metadata[out - 1].second) {
      m_Metadata[out - 1].second = std::max(m_Metadata[out - 1].second, m_Metadata[i].second);
    } else {
      m_Metadata[out++] = m_Metadata[i];
    }
  }
  m_Metadata.resize(out);
}

bool VMDKSparseExtent::OverlapsMetadata(uint64_t first, uint64_t end) const {
  // The first range that ends after `first` is the only one that can overlap.
  auto it = std::upper_bound(m_Metadata.begin(), m_Metadata.end(), first,
                             [](uint64_t v, const std::pair<uint64_t, uint64_t>& r) { return v < r.second; });
  return it != m_Metadata.end() && it->first < end;
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
  if (entry == 0) return {SpanKind::kHole, fileSector, count};
  // The grains of the span lie back to back from `entry`; none may overlap metadata.
  const uint64_t grainsEnd = entry + (uint64_t{o} + count + m_GrainSize - 1) / m_GrainSize * m_GrainSize;
  if (OverlapsMetadata(entry, grainsEnd)) {
    const uint32_t first = m_GrainSize - o < count ? m_GrainSize - o : count;
    if (OverlapsMetadata(entry, uint64_t{entry} + m_GrainSize)) return {SpanKind::kMetadata, fileSector, first};
    return {SpanKind::kData, fileSector, first};
  }
  return {SpanKind::kData, fileSector, count};
}

NTSTATUS VMDKSparseExtent::RefuseSpan(const Span& span, const WCHAR* op, uint64_t e, uint32_t n) const {
  if (span.kind == SpanKind::kMetadata) {
    TRACE_ERR(u"VMDKSparseExtent::%s(%I64d,%d) - grain at file sector %I64d overlaps the extent's header, descriptor, directories or tables\n",
              op, e, static_cast<int32_t>(n), span.fileSector);
  } else {
    TRACE_ERR(u"VMDKSparseExtent::%s(%I64d,%d) - grain at file sector %I64d lies past the end of the file\n", op,
              e, static_cast<int32_t>(n), span.fileSector);
  }
  return STATUS_FILE_CORRUPT_ERROR;
}

NTSTATUS VMDKSparseExtent::ReadHole(uint64_t e, uint32_t n, uint8_t* b, uint64_t traceE, uint32_t traceN) {
  VMDKVirtualDisk* parent = m_Owner->m_Owner ? m_Owner->m_Owner->Parent() : nullptr;
  if (parent == nullptr) {
    memset(b, 0, uint64_t{n} * 512);
    return STATUS_SUCCESS;
  }
  const NTSTATUS status = ReadThroughParent(parent, m_FirstSector + e, n, b);
  if (status < 0) {
    TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - read from parent failed %08lx\n", traceE,
              static_cast<int32_t>(traceN), static_cast<uint32_t>(status));
  }
  return status;
}

NTSTATUS VMDKSparseExtent::Read(uint64_t e, uint32_t n, void* buffer) {
  const SectorRun run{e, n, static_cast<uint8_t*>(buffer)};
  return ReadRuns(&run, 1);
}

// Every run of grains the extent holds goes to the file and every run it lacks to the parent;
// the file pieces that lie back to back in the file are one scatter read, and all the parent's
// pieces are one request to the parent.
NTSTATUS VMDKSparseExtent::ReadRuns(const SectorRun* runs, size_t count) {
  NTSTATUS status = STATUS_SUCCESS;
  for (size_t i = 0; i < count && status >= 0; ++i) {
    if (!m_File) {
      TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - no file\n", runs[i].sector, static_cast<int32_t>(runs[i].count));
      status = STATUS_FILE_INVALID;
    }
    if (!m_Valid) {
      TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - no grain data\n", runs[i].sector,
                static_cast<int32_t>(runs[i].count));
      status = STATUS_NO_MEMORY;
    }
  }
  if (status < 0) return status;
  VMDKVirtualDisk* parent = m_Owner->m_Owner ? m_Owner->m_Owner->Parent() : nullptr;
  const uint64_t parentSectors = parent ? parent->SectorCount() : 0;
  ScatterReader file(m_File.get());
  std::vector<SectorRun> fromParent;
  uint64_t parentBytes = 0;
  for (size_t i = 0; i < count; ++i) {
    uint64_t e = runs[i].sector;
    uint32_t n = runs[i].count;
    uint8_t* b = runs[i].buffer;
    while (n > 0) {
      Span span = Locate(e, n);
      if (span.kind == SpanKind::kBeyondTables) {
        TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - sector lies beyond the grain tables\n", e,
                  static_cast<int32_t>(n));
        memset(b, 0, uint64_t{n} * 512);
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      if (span.kind == SpanKind::kData) {
        const NTSTATUS st = file.Add(span.fileSector, span.count, b);
        if (st < 0) status = st;
      } else if (span.kind == SpanKind::kHole) {
        // The parent's sectors as far as the parent reaches; past its end the disk reads as zeros.
        const uint64_t disk = m_FirstSector + e;
        const uint32_t reach = ParentReach(parentSectors, disk, span.count);
        if (reach != 0) {
          parentBytes += uint64_t{reach} * 512;
          if (!fromParent.empty() && fromParent.back().sector + fromParent.back().count == disk &&
              fromParent.back().buffer + uint64_t{fromParent.back().count} * 512 == b) {
            fromParent.back().count += reach;
          } else {
            fromParent.push_back({disk, reach, b});
          }
        }
        memset(b + uint64_t{reach} * 512, 0, uint64_t{span.count - reach} * 512);
      } else {
        memset(b, 0, uint64_t{span.count} * 512);
        status = RefuseSpan(span, u"Read", e, n);
      }
      n -= span.count;
      e += span.count;
      b += uint64_t{span.count} * 512;
    }
  }
  // The extent's own pieces and the parent's are independent reads: large shares of both go
  // out at once on two processors (the copies out of the page cache are most of the work).
  auto readFile = [&] { return file.Finish(); };
  auto readParent = [&] {
    return fromParent.empty() ? STATUS_SUCCESS : parent->ReadRuns(fromParent.data(), fromParent.size());
  };
  const HalfStatuses done = file.QueuedBytes() >= kMinSplitShare && parentBytes >= kMinSplitShare
                                ? RunAlongside(readFile, readParent)
                                : HalfStatuses{readFile(), readParent()};
  if (done.first < 0) {
    TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - read failed %08lx\n", runs[0].sector,
              static_cast<int32_t>(runs[0].count), static_cast<uint32_t>(done.first));
    status = done.first;
  }
  if (done.second < 0) {
    TRACE_ERR(u"VMDKSparseExtent::Read(%I64d,%d) - read from parent failed %08lx\n", runs[0].sector,
              static_cast<int32_t>(runs[0].count), static_cast<uint32_t>(done.second));
    status = done.second;
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
    if (!m_GrainBuffer) m_GrainBuffer = std::make_unique_for_overwrite<uint8_t[]>(uint64_t{m_GrainSize} * 512);
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
  // The new grains reach the disk before the table that records them.
  NTSTATUS status = Flush();
  if (status >= 0) status = WriteGrainTable(static_cast<uint32_t>(t));
  if (status < 0) {
    // The file does not record these grains: forget them so memory and file agree.
    for (uint32_t j : *entries) StoreLE32(m_GrainTables[t] + uint64_t{j} * 4, 0);
  }
  entries->clear();
  return status;
}

// Grains already allocated from extent sector e: one write of those that follow one another in
// the file; *piece is the sectors done.
NTSTATUS VMDKSparseExtent::WriteAllocated(uint64_t e, uint32_t n, const uint8_t* b, uint32_t* piece) {
  const Span span = Locate(e, n);
  *piece = span.count;
  if (span.kind != SpanKind::kData) return RefuseSpan(span, u"Write", e, n);
  const NTSTATUS status = WriteImageBytes(m_File.get(), span.fileSector * 512, uint64_t{span.count} * 512, b);
  if (status < 0) {
    TRACE_ERR(u"VMDKSparseExtent::Write(%I64d,%d) - write failed %08lx\n", e, static_cast<int32_t>(n),
              static_cast<uint32_t>(status));
  }
  return status;
}

// New grains for the unallocated grain j of table t (and, when the request covers them whole,
// its unallocated neighbours), written at the end of the file in one write. Their entries are
// set in memory and listed in *pending; the table itself goes out later (FlushTable).
NTSTATUS VMDKSparseExtent::WriteNewGrains(uint64_t t, uint32_t j, uint64_t e, uint32_t n, const uint8_t* b,
                                          uint32_t* piece, std::vector<uint32_t>* pending) {
  const uint32_t o = static_cast<uint32_t>(e % m_GrainSize);
  uint32_t grains = 1;
  if (o == 0 && *piece == m_GrainSize) {
    while (j + grains < m_NumGTEsPerGT && Entry(t, j + grains) == 0 && uint64_t{grains + 1} * m_GrainSize <= n) {
      ++grains;
    }
    *piece = grains * m_GrainSize;
  }
  pending->reserve(pending->size() + grains);  // before the file grows: nothing to undo
  uint32_t g = 0;
  const NTSTATUS status = AllocateGrains(e - o, grains, o, *piece, b, &g, e, n);
  if (status < 0) return status;
  for (uint32_t k = 0; k < grains; ++k) {
    StoreLE32(m_GrainTables[t] + uint64_t{j + k} * 4, g + k * m_GrainSize);
    pending->push_back(j + k);
  }
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
    status = Entry(t, j) != 0 ? WriteAllocated(e, n, b, &piece)
                              : WriteNewGrains(t, j, e, n, b, &piece, &pending);
    n -= piece;
    e += piece;
    b += uint64_t{piece} * 512;
  }
  const NTSTATUS flushed = FlushTable(pendingTable, &pending);
  if (flushed < 0) status = flushed;
  return status;
}

// VMDKSparseExtent: the common part of hosted (KDMV) and ESX (COWD) sparse extents. Grains are
// found through a grain directory and grain tables, all tables held in memory; unallocated
// grains read from the parent disk or as zeros, and writes to them allocate whole grains at the
// end of the file.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "vmdk/vmdk_extent.h"

class VMDKSparseExtent : public VMDKExtent {
 public:
  NTSTATUS Read(uint64_t e, uint32_t n, void* buffer) override;
  NTSTATUS Write(uint64_t e, uint32_t n, const void* buffer) override;
  uint8_t IsValid() override { return m_Valid; }
  NTSTATUS ReadRuns(const SectorRun* runs, size_t count) override;
  // Stores table `index` wherever the format keeps it.
  virtual NTSTATUS WriteGrainTable(uint32_t index) = 0;
  // Creates table `index` for a write that falls where there is none.
  virtual NTSTATUS WriteNewGrainTable(uint32_t index) = 0;

  // Limits on header fields taken from the file.
  static constexpr uint32_t kMaxGrainSize = 1u << 16;   // sectors
  static constexpr uint32_t kMaxGTEsPerGT = 1u << 16;

 protected:
  VMDKSparseExtent(VMDKExtentSet* set, const WCHAR* path, uint64_t first, uint64_t last)
      : VMDKExtent(set, path, first, last), m_Owner(set) {}

  // Memory for grain tables. Blocks of 2 MiB and more are aligned to and advised for huge
  // pages: taking a 2 TB disk's 128 MiB of tables in 4 KiB pages costs some 32,000 page faults,
  // which take longer than reading the tables (ten times longer on a virtual machine).
  struct TableMemoryFree {
    void operator()(uint8_t* p) const { free(p); }
  };
  using TableMemory = std::unique_ptr<uint8_t[], TableMemoryFree>;
  static TableMemory AllocateTableMemory(uint64_t bytes, bool zeroed);

  // Rounded directory size in bytes.
  uint64_t DirectoryBytes() const { return (uint64_t{m_NumGrainTables} * 4 + 511) & ~uint64_t{511}; }
  uint32_t TableBytes() const { return m_NumGTEsPerGT * 4; }
  static uint32_t DirectoryEntry(const std::vector<uint8_t>& dir, uint32_t t);
  static void SetDirectoryEntry(std::vector<uint8_t>* dir, uint32_t t, uint32_t sector);

  // Memory the tables may take: two directories and every table that the extent's sectors (as
  // the descriptor gives them) need, plus 1 MiB. The file's apparent size says nothing: a sparse
  // file of a few KB may claim terabytes.
  uint64_t MemoryLimit() const;
  // Refuses a layout whose directories (copies of DirectoryBytes) exceed the limit.
  bool CheckDirectoryMemory(uint32_t copies);
  // Refuses a layout whose present tables, with the directories, exceed the limit.
  bool CheckTableMemory(const std::vector<uint8_t>& dir, uint32_t copies);
  // True when table sector s lies inside the file past sector 0.
  bool TableFits(uint32_t sector) const;

  NTSTATUS ReadGrainDirectory(std::vector<uint8_t>* dir, uint64_t sector);
  NTSTATUS WriteGrainDirectory(const std::vector<uint8_t>& dir, uint64_t sector);
  // Loads every table the directory names, neighbouring tables in one read.
  NTSTATUS LoadGrainTables(const std::vector<uint8_t>& dir);
  NTSTATUS WriteGrainTableAt(uint32_t index, uint32_t sector);
  // A new all-zero table in memory.
  NTSTATUS CreateTableInMemory(uint32_t index);
  // Grows the file by `sectors` zero sectors; *first is the first of them.
  NTSTATUS ExtendAndClear(uint32_t sectors, uint32_t* first);
  NTSTATUS ExtendAndClearForGrainTable(uint32_t* first) { return ExtendAndClear(TableBytes() / 512, first); }
  // File sectors [first, first + sectors) hold the extent's own structures (header, descriptor,
  // directories, tables): no grain may overlap them. FinishMetadata sorts and merges the list.
  void AddMetadata(uint64_t first, uint64_t sectors);
  void FinishMetadata();
  bool OverlapsMetadata(uint64_t first, uint64_t end) const;
  // Trace hook for a failed table read (the ESX class adds its own line).
  virtual void OnTableReadFailed(NTSTATUS) {}

  VMDKExtentSet* m_Owner;
  uint8_t m_Valid = 0;
  uint32_t m_GrainSize = 0;
  uint32_t m_NumGTEsPerGT = 0;
  uint32_t m_NumGrainTables = 0;
  std::vector<uint8_t*> m_GrainTables;  // T entries, null for no table; entries little-endian
  uint64_t m_FileSize = 0;

 private:
  enum class SpanKind { kBeyondTables, kHole, kData, kPastEnd, kMetadata };
  struct Span {
    SpanKind kind;
    uint64_t fileSector;  // first file sector of a data span
    uint32_t count;
  };
  // The longest run from extent sector e (at most n sectors) of one kind: unallocated grains,
  // or allocated grains that lie back to back in the file.
  Span Locate(uint64_t e, uint32_t n) const;
  uint32_t Entry(uint64_t t, uint32_t j) const;
  // Fills n sectors from disk sector m_FirstSector + e of the parent, zeros where there is none.
  NTSTATUS ReadHole(uint64_t e, uint32_t n, uint8_t* b, uint64_t traceE, uint32_t traceN);
  // Writes `grains` new grains at the end of the file: data from b, completed from the parent.
  NTSTATUS AllocateGrains(uint64_t grainStart, uint32_t grains, uint32_t o, uint32_t n,
                          const uint8_t* b, uint32_t* firstSector, uint64_t traceE, uint32_t traceN);
  NTSTATUS WriteAllocated(uint64_t e, uint32_t n, const uint8_t* b, uint32_t* piece);
  NTSTATUS WriteNewGrains(uint64_t t, uint32_t j, uint64_t e, uint32_t n, const uint8_t* b, uint32_t* piece,
                          std::vector<uint32_t>* pending);
  // Stores a table whose entries this write set; on failure the entries are cleared again.
  NTSTATUS FlushTable(int64_t t, std::vector<uint32_t>* entries);

  // Refuses a span of allocated grains that lies past the end of the file or over metadata.
  NTSTATUS RefuseSpan(const Span& span, const WCHAR* op, uint64_t e, uint32_t n) const;

  std::vector<TableMemory> m_TableBlocks;
  std::vector<std::pair<uint64_t, uint64_t>> m_Metadata;  // sorted, merged [first, end)
  std::unique_ptr<uint8_t[]> m_GrainBuffer;
};

// VMDKExtent: one extent file of a VMDK disk and its range of disk sectors; VMDKFlatExtent:
// an extent whose file holds its sectors contiguously from byte 0.
#pragma once
#include <cstdint>
#include <string>

#include "disk/scatter_read.h"
#include "platform/nt_file.h"
#include "vmpeek/types.h"

class VMDKExtentSet;

#define STATUS_NO_MORE_FILES_WARNING ((NTSTATUS)0x80000022)  // a request of zero sectors

constexpr uint32_t kVmdkSectorSize = 512;

class VMDKExtent {
 public:
  virtual ~VMDKExtent() = default;
  virtual uint64_t GetFirstSector() { return m_FirstSector; }
  virtual uint64_t GetLastSector() { return m_LastSector; }
  // Sector e counts from the extent's first sector.
  virtual NTSTATUS Read(uint64_t e, uint32_t n, void* buffer) = 0;
  virtual NTSTATUS Write(uint64_t e, uint32_t n, const void* buffer) = 0;
  virtual uint8_t IsValid() = 0;
  // Several runs of extent sectors, in ascending order, read with as few requests as the layout
  // allows. A failed run is traced and does not stop the others; its status is the result.
  virtual NTSTATUS ReadRuns(const SectorRun* runs, size_t count);
  // The part of construction that may fail: opens the file and, for sparse extents, loads the
  // header and tables. Failures leave the extent invalid.
  virtual void Load();
  // Makes what was written to the file durable; Close also closes it. Failures are the status.
  NTSTATUS Flush();
  NTSTATUS Close() { return m_File.Close(); }

 protected:
  VMDKExtent(VMDKExtentSet* set, const WCHAR* path, uint64_t first, uint64_t last);
  // Opens the file read-write while the set allows it, else (or on failure) read-only; a
  // read-only fallback makes the whole set read-only.
  void OpenFile();

  VMDKExtentSet* m_Set;
  NtHandle m_File;
  uint64_t m_FirstSector;
  uint64_t m_LastSector;
  std::u16string m_Path;
};

class VMDKFlatExtent : public VMDKExtent {
 public:
  VMDKFlatExtent(VMDKExtentSet* set, const WCHAR* path, uint64_t first, uint64_t last)
      : VMDKExtent(set, path, first, last) {}
  NTSTATUS Read(uint64_t e, uint32_t n, void* buffer) override;
  NTSTATUS Write(uint64_t e, uint32_t n, const void* buffer) override;
  uint8_t IsValid() override { return m_File ? 1 : 0; }
  NTSTATUS ReadRuns(const SectorRun* runs, size_t count) override;

 private:
  NTSTATUS Transfer(uint64_t e, uint32_t n, uint8_t* buffer, bool write);
};

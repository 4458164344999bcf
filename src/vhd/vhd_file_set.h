// VHDFileSet: the files that hold one VHD image (the main file and its .V01 ... .V99
// continuation files) presented as one run of 512-byte sectors.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/nt_file.h"
#include "vmpeek/types.h"

class VHDFileSet {
 public:
  explicit VHDFileSet(const WCHAR* baseName);
  ~VHDFileSet();
  VHDFileSet(const VHDFileSet&) = delete;
  VHDFileSet& operator=(const VHDFileSet&) = delete;

  // Opens the main file and every continuation file that follows it without a gap.
  NTSTATUS Open(uint8_t readOnly);
  // Opens (or, with create, creates) one file and appends it to the set.
  NTSTATUS Add(const WCHAR* name, uint8_t create);
  // Set-wide sector transfers; a sector that no file holds fails the request with
  // STATUS_INVALID_PARAMETER.
  NTSTATUS Read(uint64_t first, uint32_t count, void* buffer);
  NTSTATUS Write(uint64_t first, uint32_t count, const void* buffer);
  // Makes the set `sectors` sectors longer, starting continuation files as the per-file cap
  // requires. With `tail`, the new last sector of the set receives those 512 bytes in the same
  // step that creates it, so the set never ends in a sector of zeros.
  NTSTATUS Extend(uint32_t sectors, const uint8_t* tail = nullptr);
  // Makes what was written to every file durable; the first failure is the status.
  NTSTATUS Flush();
  // Closes every file; a failed final flush of any of them is the status.
  NTSTATUS Close();

  uint64_t TotalSize() const { return m_TotalSize; }
  uint64_t TotalSectors() const { return m_TotalSize / 512; }
  uint8_t IsReadOnly() const { return m_ReadOnly; }
  uint32_t FileCount() const { return static_cast<uint32_t>(m_Files.size()); }

  // Largest file of a multi-file set when it grows.
  static constexpr uint64_t kMaxFileSectors = 0x7FFFFF;

 private:
  struct FileEntry {
    uint64_t first;  // set-wide number of the file's first sector
    uint64_t count;  // sectors held (file size / 512)
    HANDLE handle;
  };

  NTSTATUS Transfer(uint64_t first, uint32_t count, uint8_t* buffer, bool write);
  // The name of continuation file n (1..99), or empty (no ".VHD" in the base name).
  std::u16string ContinuationName(uint32_t n) const;
  NTSTATUS OpenFile(const WCHAR* name, bool readWrite, uint8_t create, HANDLE* handle);

  std::vector<FileEntry> m_Files;
  uint64_t m_TotalSize = 0;
  std::u16string m_BaseName;
  uint8_t m_ReadOnly = 0;
};

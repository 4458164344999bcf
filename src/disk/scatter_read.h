// Reads of many pieces of one image file, joined: pieces that follow one another in the file go
// out as one scatter read into their own buffers, whatever their places in memory, and the
// scatter reads of a batch go to the file together.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/nt_file.h"

// A run of sectors of a disk (or of an extent) and the memory it goes to.
struct SectorRun {
  uint64_t sector;
  uint32_t count;
  uint8_t* buffer;
};

class ScatterReader {
 public:
  // Room for a typical request (a 2 MiB read of 64 KiB grains) up front: the reader lives for
  // one request on the read path, where growing its tables piece by piece reallocates them
  // several times per request.
  explicit ScatterReader(HANDLE file) : m_File(file) {
    m_Groups.reserve(kTypicalPieces);
    m_Segments.reserve(kTypicalPieces);
  }
  ScatterReader(const ScatterReader&) = delete;
  ScatterReader& operator=(const ScatterReader&) = delete;

  // Queues `count` sectors of the file from `fileSector` into `buffer`. A full queue goes out
  // first; the result is the status of reads that went out (success when none did).
  NTSTATUS Add(uint64_t fileSector, uint32_t count, uint8_t* buffer);
  // Reads what is queued.
  NTSTATUS Finish();
  uint64_t QueuedBytes() const { return m_Bytes; }

 private:
  NTSTATUS AddPiece(uint64_t fileSector, uint32_t count, uint8_t* buffer);

  // One scatter read: bytes from `start` on into segments [first, first + count).
  struct Group {
    uint64_t start;
    uint64_t bytes;
    size_t first;
    uint32_t count;
  };

  static constexpr size_t kMaxSegments = 1024;  // the kernel's limit for one readv
  static constexpr size_t kMaxGroups = 64;      // scatter reads handed over at once
  static constexpr size_t kTypicalPieces = 32;
  static constexpr uint64_t kMaxBytes = 1u << 30;

  HANDLE m_File;
  uint64_t m_Bytes = 0;  // queued in all groups
  std::vector<Group> m_Groups;
  std::vector<FILE_SEGMENT_BUFFER> m_Segments;
};

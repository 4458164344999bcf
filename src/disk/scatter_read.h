// Reads of many pieces of one image file, joined: pieces that follow one another in the file go
// out as one scatter read into their own buffers, whatever their places in memory.
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
  explicit ScatterReader(HANDLE file) : m_File(file) {}
  ScatterReader(const ScatterReader&) = delete;
  ScatterReader& operator=(const ScatterReader&) = delete;

  // Queues `count` sectors of the file from `fileSector` into `buffer`. Pieces that do not
  // continue the queued ones make the queue go out first; the result is the status of a read
  // that went out (success when none did).
  NTSTATUS Add(uint64_t fileSector, uint32_t count, uint8_t* buffer);
  // Reads what is queued.
  NTSTATUS Finish();

 private:
  NTSTATUS AddPiece(uint64_t fileSector, uint32_t count, uint8_t* buffer);

  static constexpr size_t kMaxSegments = 1024;
  static constexpr uint64_t kMaxBytes = 1u << 30;

  HANDLE m_File;
  uint64_t m_Start = 0;  // first file sector of the queue
  uint64_t m_Bytes = 0;
  std::vector<FILE_SEGMENT_BUFFER> m_Segments;
};

// A hive's bytes in an anonymous memory file: filled through the file layer, patched by log
// replay, and opened by hivex under its /proc/self/fd name (hivex needs a real file).
#pragma once
#include <cstdint>
#include <string>

#include "vmpeek/types.h"

class HiveImage {
 public:
  HiveImage() = default;
  ~HiveImage();
  HiveImage(const HiveImage&) = delete;
  HiveImage& operator=(const HiveImage&) = delete;

  // Makes an empty memory file of `size` bytes, mapped; Win32 status.
  uint32_t Create(uint64_t size);
  // Grows or shrinks the file and its mapping; Win32 status.
  uint32_t Resize(uint64_t size);
  // Drops the mapping (the file keeps its bytes).
  void Unmap();
  // Maps the file again at its current size; Win32 status.
  uint32_t Map();
  // Maps the file at the size it has now (after someone else wrote it by name); Win32 status.
  uint32_t MapWhole();
  uint8_t* Data() const { return m_Data; }
  uint64_t Size() const { return m_Size; }
  std::string Path() const;

 private:
  int m_Fd = -1;
  uint8_t* m_Data = nullptr;
  uint64_t m_Size = 0;
};

// Reads a whole file through the platform's Win32 file calls (so paths inside mounted volumes
// work) into `image`; files larger than maxSize fail with ERROR_BADDB. Win32 status.
uint32_t ReadFileToImage(const WCHAR* path, uint64_t maxSize, HiveImage* image);

// regf base block helpers (the first 4096 bytes of a hive; checksum over the first 508).
bool RegfBaseBlockValid(const uint8_t* block);
uint32_t RegfChecksum(const uint8_t* block);

// When the hive's header says it is dirty, replays `<path>.LOG1`/`.LOG2` (new format) or
// `<path>.LOG` (old format) into the image, as Windows does when it loads a hive; logs that fail
// their checks are ignored with a trace line. The files themselves are never written.
void ReplayHiveLogs(const WCHAR* path, HiveImage* image);

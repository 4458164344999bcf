// Builds ESX sparse (COWD) extent files, for which no packaged writer exists: a 2048-byte
// header, the grain directory at sector 4, then each table (4096 entries, 32 sectors) that holds
// a grain, followed by its grains.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vmdktest {

struct CowdImage {
  uint32_t sectors = 0;      // sectors in the extent
  uint32_t grainSize = 16;   // sectors per grain
  std::map<uint32_t, std::vector<uint8_t>> grains;  // grain number -> grainSize * 512 bytes
};

constexpr uint32_t kCowdEntriesPerTable = 4096;
constexpr uint32_t kCowdDirectorySector = 4;

// Directory entries the header declares for the image.
uint32_t CowdTableCount(const CowdImage& image);
// Writes the file; returns the file sector of each table, 0 where there is none.
std::vector<uint32_t> BuildCowd(const std::string& path, const CowdImage& image);

}  // namespace vmdktest

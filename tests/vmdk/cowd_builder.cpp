#include "cowd_builder.h"

#include "support/test_support.h"

namespace vmdktest {

uint32_t CowdTableCount(const CowdImage& image) {
  const uint32_t grains = (image.sectors + image.grainSize - 1) / image.grainSize;
  return (grains + kCowdEntriesPerTable - 1) / kCowdEntriesPerTable;
}

std::vector<uint32_t> BuildCowd(const std::string& path, const CowdImage& image) {
  const uint32_t tables = CowdTableCount(image);
  const uint32_t directorySectors = (tables * 4 + 511) / 512;
  std::vector<uint8_t> file(uint64_t{kCowdDirectorySector + directorySectors} * 512, 0);
  uint8_t* h = file.data();
  h[0] = 'C'; h[1] = 'O'; h[2] = 'W'; h[3] = 'D';
  vmtest::PutLE32(h + 4, 1);                      // version
  vmtest::PutLE32(h + 8, 3);                      // flags
  vmtest::PutLE32(h + 12, image.sectors);
  vmtest::PutLE32(h + 16, image.grainSize);
  vmtest::PutLE32(h + 20, kCowdDirectorySector);
  vmtest::PutLE32(h + 24, tables);
  std::vector<uint32_t> tableSectors(tables, 0);
  for (uint32_t t = 0; t < tables; ++t) {
    auto it = image.grains.lower_bound(t * kCowdEntriesPerTable);
    if (it == image.grains.end() || it->first >= (t + 1) * kCowdEntriesPerTable) continue;
    const uint32_t tableSector = static_cast<uint32_t>(file.size() / 512);
    tableSectors[t] = tableSector;
    vmtest::PutLE32(file.data() + kCowdDirectorySector * 512 + t * 4, tableSector);
    file.resize(file.size() + kCowdEntriesPerTable * 4, 0);
    for (; it != image.grains.end() && it->first < (t + 1) * kCowdEntriesPerTable; ++it) {
      const uint32_t grainSector = static_cast<uint32_t>(file.size() / 512);
      vmtest::PutLE32(file.data() + uint64_t{tableSector} * 512 + (it->first % kCowdEntriesPerTable) * 4,
                      grainSector);
      std::vector<uint8_t> data = it->second;
      data.resize(uint64_t{image.grainSize} * 512, 0);
      file.insert(file.end(), data.begin(), data.end());
    }
  }
  vmtest::PutLE32(h = file.data(), 0x44574F43);  // "COWD"
  vmtest::PutLE32(file.data() + 28, static_cast<uint32_t>(file.size() / 512));  // free sector
  vmtest::WriteAll(path, file);
  return tableSectors;
}

}  // namespace vmdktest

// Builds VHD images byte by byte for tests: fixed, dynamic and differencing images with
// W2ku/W2ru locators, short footers, the saved-state flag and sets split over .V01/.V02 files.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vhdtest {

struct Locator {
  uint32_t code;        // 0x57326B75 "W2ku" or 0x57327275 "W2ru"
  std::u16string text;  // stored UTF-16LE
};

class VhdBuilder {
 public:
  VhdBuilder(uint32_t diskType, uint64_t sizeBytes, uint32_t blockSize = 2 * 1024 * 1024);

  // Stores sectors (data.size() a multiple of 512); their bitmap bits are set.
  void Write(uint64_t sector, const std::vector<uint8_t>& data);
  // The disk's contents as a reader sees it without a parent (unwritten sectors are zero).
  std::vector<uint8_t> Raw() const;
  // The image file's bytes.
  std::vector<uint8_t> Build() const;

  uint8_t uuid[16];
  uint8_t parentUuid[16] = {};
  uint8_t savedState = 0;
  bool shortFooter = false;
  std::vector<Locator> locators;
  uint32_t maxTableEntries;  // defaults to what the size needs

  // Byte offsets of the table and of block b's storage in the last Build().
  uint64_t TableOffset() const { return 1536; }

 private:
  uint32_t m_Type;
  uint64_t m_Size;
  uint32_t m_BlockSize;
  std::map<uint64_t, std::vector<uint8_t>> m_Sectors;  // sector -> 512 bytes
};

// Footer and header checksum (ones' complement of the byte sum, checksum field as zero).
uint32_t VhdChecksum(const uint8_t* p, size_t n, size_t checksumOffset);
// A 512-byte MBR made by sfdisk for a disk of sizeBytes with the given sfdisk script.
std::vector<uint8_t> SfdiskMbr(const std::string& dir, uint64_t sizeBytes, const std::string& script);
// Writes bytes to path, or split: the main file gets the first parts[0] sectors, path's .V01 the
// next parts[1], and so on; the last file gets the rest.
void SaveImage(const std::string& path, const std::vector<uint8_t>& bytes,
               const std::vector<uint64_t>& parts = {});
// The continuation name n of a path ending in ".vhd".
std::string ContinuationPath(const std::string& path, int n);

}  // namespace vhdtest

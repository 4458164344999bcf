#include "vhd/vhd_builder.h"

#include <cstring>
#include <cstdio>

#include "support/test_support.h"

namespace vhdtest {

using vmtest::PutBE16;
using vmtest::PutBE32;
using vmtest::PutBE64;

uint32_t VhdChecksum(const uint8_t* p, size_t n, size_t checksumOffset) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i)
    if (i < checksumOffset || i >= checksumOffset + 4) sum += p[i];
  return ~sum;
}

VhdBuilder::VhdBuilder(uint32_t diskType, uint64_t sizeBytes, uint32_t blockSize)
    : m_Type(diskType), m_Size(sizeBytes), m_BlockSize(blockSize) {
  auto r = vmtest::PatternBytes(16, static_cast<uint32_t>(sizeBytes ^ diskType ^ blockSize));
  memcpy(uuid, r.data(), 16);
  maxTableEntries = static_cast<uint32_t>((sizeBytes + blockSize - 1) / blockSize);
}

void VhdBuilder::Write(uint64_t sector, const std::vector<uint8_t>& data) {
  for (size_t i = 0; i < data.size() / 512; ++i)
    m_Sectors[sector + i] = std::vector<uint8_t>(data.begin() + i * 512, data.begin() + (i + 1) * 512);
}

std::vector<uint8_t> VhdBuilder::Raw() const {
  std::vector<uint8_t> raw(m_Size);
  for (auto& [s, d] : m_Sectors)
    if ((s + 1) * 512 <= m_Size) memcpy(raw.data() + s * 512, d.data(), 512);
  return raw;
}

std::vector<uint8_t> VhdBuilder::Build() const {
  uint8_t footer[512] = {};
  memcpy(footer, "conectix", 8);
  PutBE32(footer + 8, 2);
  PutBE32(footer + 12, 0x00010000);
  PutBE64(footer + 16, m_Type == 2 ? ~0ull : 512);
  memcpy(footer + 28, "win ", 4);  // qemu takes the size from current size, not geometry
  PutBE32(footer + 32, 0x00010000);
  memcpy(footer + 36, "Wi2k", 4);
  PutBE64(footer + 40, m_Size);
  PutBE64(footer + 48, m_Size);
  uint64_t cyl = m_Size / (16 * 63 * 512);
  PutBE16(footer + 56, static_cast<uint16_t>(cyl > 65535 ? 65535 : cyl));
  footer[58] = 16;
  footer[59] = 63;
  PutBE32(footer + 60, m_Type);
  memcpy(footer + 68, uuid, 16);
  footer[84] = savedState;
  PutBE32(footer + 64, VhdChecksum(footer, 512, 64));

  std::vector<uint8_t> out;
  auto appendFooter = [&]() {
    if (shortFooter) {
      out.push_back(0);
      out.insert(out.end(), footer, footer + 511);
    } else {
      out.insert(out.end(), footer, footer + 512);
    }
  };

  if (m_Type == 2) {
    out = Raw();
    out.resize((m_Size + 511) / 512 * 512);
    appendFooter();
    return out;
  }

  const uint64_t spb = m_BlockSize / 512;
  const uint64_t bitmapSectors = ((m_BlockSize / 4096) + 511) / 512;
  const uint64_t tableSectors = (4ull * maxTableEntries + 511) / 512;
  out.assign(512 * (3 + tableSectors), 0);
  memcpy(out.data(), footer, 512);

  // Locator data after the table.
  uint8_t* header = out.data() + 512;
  memcpy(header, "cxsparse", 8);
  PutBE64(header + 8, ~0ull);
  PutBE64(header + 16, TableOffset());
  PutBE32(header + 24, 0x00010000);
  PutBE32(header + 28, maxTableEntries);
  PutBE32(header + 32, m_BlockSize);
  memcpy(header + 40, parentUuid, 16);
  for (size_t i = 0; i < locators.size() && i < 8; ++i) {
    const Locator& l = locators[i];
    uint64_t offset = out.size();
    uint32_t len = static_cast<uint32_t>(l.text.size() * 2);
    uint32_t space = (len + 511) / 512 * 512;
    if (space == 0) space = 512;
    out.resize(out.size() + space, 0);
    for (size_t c = 0; c < l.text.size(); ++c) vmtest::PutLE16(out.data() + offset + 2 * c, l.text[c]);
    header = out.data() + 512;
    uint8_t* e = header + 576 + 24 * i;
    PutBE32(e, l.code);
    PutBE32(e + 4, space);
    PutBE32(e + 8, len);
    PutBE64(e + 16, offset);
  }
  header = out.data() + 512;
  PutBE32(header + 36, VhdChecksum(header, 1024, 36));

  // Blocks in block order; the table marks the others unallocated.
  std::map<uint64_t, bool> blocks;
  for (auto& [s, d] : m_Sectors) blocks[s / spb] = true;
  std::vector<uint32_t> bat(maxTableEntries, 0xFFFFFFFFu);
  for (auto& [b, unused] : blocks) {
    if (b >= maxTableEntries) continue;
    uint64_t start = out.size() / 512;
    bat[b] = static_cast<uint32_t>(start);
    out.resize(out.size() + 512 * (bitmapSectors + spb), 0);
    for (auto it = m_Sectors.lower_bound(b * spb); it != m_Sectors.end() && it->first < (b + 1) * spb; ++it) {
      uint64_t k = it->first - b * spb;
      out[start * 512 + k / 8] |= static_cast<uint8_t>(0x80 >> (k % 8));
      memcpy(out.data() + (start + bitmapSectors + k) * 512, it->second.data(), 512);
    }
  }
  for (uint32_t b = 0; b < maxTableEntries; ++b) PutBE32(out.data() + TableOffset() + 4ull * b, bat[b]);
  for (uint64_t i = 4ull * maxTableEntries; i < tableSectors * 512; ++i) out[TableOffset() + i] = 0xFF;
  appendFooter();
  return out;
}

std::vector<uint8_t> SfdiskMbr(const std::string& dir, uint64_t sizeBytes, const std::string& script) {
  const std::string raw = vmtest::SfdiskDisk(dir + "/mbr-source.img", sizeBytes, script);
  auto mbr = vmtest::ReadBytes(raw, 0, 512);
  std::remove(raw.c_str());
  return mbr;
}

std::string ContinuationPath(const std::string& path, int n) {
  char ext[8];
  snprintf(ext, sizeof ext, ".V%02d", n);
  return path.substr(0, path.size() - 4) + ext;
}

void SaveImage(const std::string& path, const std::vector<uint8_t>& bytes, const std::vector<uint64_t>& parts) {
  uint64_t at = 0;
  for (size_t i = 0; i <= parts.size(); ++i) {
    uint64_t n = i < parts.size() ? parts[i] * 512 : bytes.size() - at;
    std::vector<uint8_t> piece(bytes.begin() + at, bytes.begin() + at + n);
    vmtest::WriteAll(i == 0 ? path : ContinuationPath(path, static_cast<int>(i)), piece);
    at += n;
  }
}

}  // namespace vhdtest

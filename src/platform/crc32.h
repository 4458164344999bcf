// CRC-32 as GPT headers, zip and Ethernet use it (reflected polynomial 0xEDB88320, initial value
// and final xor 0xFFFFFFFF).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace crc32_detail {
constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
inline constexpr std::array<uint32_t, 256> kTable = MakeTable();
}  // namespace crc32_detail

// Continues a CRC over more bytes: Crc32Update(Crc32Update(0, a), b) == Crc32 of a then b.
inline uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t size) {
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = crc32_detail::kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}
inline uint32_t Crc32(const uint8_t* data, size_t size) { return Crc32Update(0, data, size); }

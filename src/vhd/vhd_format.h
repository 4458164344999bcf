// On-disk layout of VHD images: footer, dynamic header and parent locators (all big-endian).
#pragma once
#include <cstdint>

namespace vhd {

constexpr uint32_t kSectorSize = 512;

// Footer (the last 512 bytes of the image; 511 of them in the short form).
constexpr uint32_t kFooterCookie = 0;        // "conectix"
constexpr uint32_t kFooterCurrentSize = 48;  // u64 bytes
constexpr uint32_t kFooterCylinders = 56;    // u16
constexpr uint32_t kFooterHeads = 58;        // u8
constexpr uint32_t kFooterSectorsPerTrack = 59;  // u8
constexpr uint32_t kFooterDiskType = 60;     // u32
constexpr uint32_t kFooterUniqueId = 68;     // 16 bytes
constexpr uint32_t kFooterSavedState = 84;   // u8

constexpr uint32_t kDiskTypeFixed = 2;
constexpr uint32_t kDiskTypeDynamic = 3;
constexpr uint32_t kDiskTypeDifferencing = 4;

// Dynamic disk header (1024 bytes at byte 512).
constexpr uint32_t kHeaderSize = 1024;
constexpr uint32_t kHeaderCookie = 0;          // "cxsparse"
constexpr uint32_t kHeaderTableOffset = 16;    // u64 bytes
constexpr uint32_t kHeaderMaxTableEntries = 28;  // u32
constexpr uint32_t kHeaderBlockSize = 32;      // u32 bytes
constexpr uint32_t kHeaderParentUniqueId = 40;  // 16 bytes
constexpr uint32_t kHeaderLocators = 576;      // 8 entries of 24 bytes
constexpr uint32_t kLocatorCount = 8;
constexpr uint32_t kLocatorSize = 24;
constexpr uint32_t kLocatorCode = 0;           // u32 platform code
constexpr uint32_t kLocatorDataLength = 8;     // u32 bytes
constexpr uint32_t kLocatorDataOffset = 16;    // u64 bytes
constexpr uint32_t kLocatorMaxSectors = 8;

constexpr uint32_t kPlatformW2ku = 0x57326B75;  // absolute Windows path, UTF-16LE
constexpr uint32_t kPlatformW2ru = 0x57327275;  // path relative to the image's folder

constexpr uint32_t kUnallocated = 0xFFFFFFFFu;  // block allocation table: no block

// Accepted block sizes: powers of two, so that a block has at least one whole bitmap sector.
constexpr uint32_t kMinBlockSize = 4096;
constexpr uint32_t kMaxBlockSize = 256u * 1024 * 1024;

// Largest table entry count accepted (its byte size still fits a signed 32-bit count).
constexpr uint32_t kMaxTableEntries = 0x1FFFFFFF;


}  // namespace vhd

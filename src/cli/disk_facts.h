// What the host reports about an open disk, gathered through its slots.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vmpeek/vmpeek.h"

struct PartitionFacts {
  unsigned index = 0;
  uint8_t type = 0;
  uint64_t firstSector = 0;
  uint64_t sectors = 0;
  std::array<uint8_t, 16> uniqueId{};
  // GPT disks only: the entry's type GUID (bytes as stored) and name.
  bool gpt = false;
  std::array<uint8_t, 16> typeGuid{};
  std::u16string name;
};

struct DiskFacts {
  std::string format;  // "raw", "vhd", "vmdk"
  uint32_t mediaType = 0;
  uint32_t bytesPerSector = 0;
  uint64_t sectors = 0;
  uint64_t cylinders = 0;
  uint32_t heads = 0;
  uint32_t sectorsPerTrack = 0;
  bool readOnly = false;
  bool savedState = false;
  std::optional<std::u16string> parent;  // library path of the parent image
  std::string scheme = "none";  // partition table: "none", "mbr", "ldm", "gpt"
  std::vector<PartitionFacts> partitions;
};

// Fills *facts from an open disk; format comes from the file name; the scheme and GPT details
// come from the inspection interface. Fails with the status of a partition that could not be
// obtained.
NTSTATUS CollectDiskFacts(vmpeek::VirtualDisk* disk, const std::string& fileName, DiskFacts* facts,
                          vmpeek::CVmDiskInspect* inspect);
// The parent's library path, or nothing when the disk has none.
std::optional<std::u16string> ParentPath(vmpeek::VirtualDisk* disk);
// The partition's row as the host shows it.
PartitionFacts CollectPartitionFacts(vmpeek::VirtualPartition* partition, unsigned index);
// The GPT type's name for a GPT row, else the MBR type byte's.
const char* PartitionTypeNameOf(const PartitionFacts& partition);
// 32 lowercase hex characters.
std::string HexId(const uint8_t* bytes, size_t size);

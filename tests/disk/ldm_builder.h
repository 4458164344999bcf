// Writes an LDM dynamic disk byte by byte: an MBR with one 0x42 entry, the private header after the
// MBR and in the last sector, and a 1 MB configuration database (four TOCBLOCKs, the VMDB, volume,
// component, partition, disk group and disk VBLKs), complete enough for ldmtool to read. Every
// field the tests poke is a member, so hostile variants are one line.
#pragma once
#include <array>
#include <string>
#include <vector>

namespace vmtest {

struct LdmVolume {
  uint32_t id;
  std::string name;
  uint8_t partitionType;
  std::array<uint8_t, 16> guid;  // as stored: first three fields big-endian
};
struct LdmComponent {
  uint32_t id;
  std::string name;
  uint32_t volumeId;
};
struct LdmPartition {
  uint32_t id;
  std::string name;
  uint64_t start;  // relative to the 0x42 entry
  uint64_t count;
  uint32_t componentId;
  uint32_t diskId = 2;  // the object id of the one disk record the builder writes
};

struct LdmImage {
  uint64_t diskSectors = 8192;       // 4 MB
  uint32_t base = 63;                // start of the 0x42 entry
  uint64_t privateHeaderSector = 0;  // 0: the last sector
  uint64_t databaseStart = 0;        // 0: the 2048 sectors before the private header
  uint64_t databaseSectors = 2048;
  uint32_t tocOffset = 512;          // byte of the TOCBLOCK in the database (1024 on later systems)
  bool configInSecondEntry = false;
  uint64_t configStart = 17;         // VMDB sector in the database
  uint32_t recordSize = 128;
  uint32_t firstOffset = 512;        // first VBLK, in bytes from the VMDB
  int64_t recordCount = -1;          // -1: the last sequence number (records written + 3)
  uint32_t declaredFirstOffset = 0;  // written in the VMDB instead of firstOffset when non-zero
  uint32_t declaredRecordSize = 0;   // likewise for recordSize
  bool omitVmdb = false;
  std::vector<LdmVolume> volumes;
  std::vector<LdmComponent> components;
  std::vector<LdmPartition> partitions;

  // One simple volume per partition (ids from 1), the usual shape of a small dynamic disk.
  static LdmImage Simple(const std::vector<std::pair<uint64_t, uint64_t>>& startsAndCounts);
};

// Writes the image (sparse) and returns the byte offset of the first VBLK record in the file.
uint64_t WriteLdmImage(const std::string& path, const LdmImage& image);

}  // namespace vmtest

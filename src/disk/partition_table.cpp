// Partition discovery for basic disks: the MBR in sector 0 and chains of extended boot records.
// Rows are added in numbering order: an extended entry is replaced in place by its chain, depth
// first, and a 0x42 entry by the LDM partitions. An MBR with a 0xEE entry hands over to the GPT
// reader (gpt_table.cpp); its own rows are listed only when no GPT header is valid.
#include <cstring>

#include "disk/virtual_disk.h"
#include "module/parse_trace.h"
#include "platform/endian.h"

namespace {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kSignatureOffset = 440;
constexpr uint32_t kEntriesOffset = 446;
constexpr uint32_t kEntrySize = 16;
constexpr uint32_t kBootSignatureOffset = 510;

bool HasBootSignature(const uint8_t* sector) { return LoadLE16(sector + kBootSignatureOffset) == 0xAA55; }

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F; }

bool HasProtectiveEntry(const uint8_t* sector) {
  for (uint32_t i = 0; i < 4; ++i)
    if (sector[kEntriesOffset + kEntrySize * i + 4] == 0xEE) return true;
  return false;
}

// Disk signature as stored, then the byte offset (64-bit little-endian), then four zero bytes.
void MakeUniqueId(uint8_t id[16], const uint8_t signatureBytes[4], uint32_t firstSector) {
  memcpy(id, signatureBytes, 4);
  StoreLE64(id + 4, static_cast<uint64_t>(firstSector) * kSectorSize);
  memset(id + 12, 0, 4);
}

void DumpEntry(int32_t index, const uint8_t* entry) {
  const uint32_t start = LoadLE32(entry + 8);
  const uint32_t count = LoadLE32(entry + 12);
  TRACE_DETAIL(u"Partition %d \n", index);
  TRACE_DETAIL(u"   active       =  %x \n", static_cast<uint32_t>(entry[0]));
  TRACE_DETAIL(u"   ID           =  %x \n", static_cast<uint32_t>(entry[4]));
  TRACE_DETAIL(u"   start sector =  %x \n", start);
  TRACE_DETAIL(u"   sector count =  %x \n", count);
  TRACE_DETAIL(u"   end sector   =  %x \n", start + count - 1u);
}

// A filesystem's own boot sector (FAT, NTFS, exFAT) in sector 0: a disk formatted whole, whose
// boot code would read as partition entries.
bool IsVolumeBootRecord(const uint8_t* sector) {
  if (!(sector[0] == 0xEB && sector[2] == 0x90) && sector[0] != 0xE9) return false;
  const uint16_t bytesPerSector = LoadLE16(sector + 11);
  const uint8_t perCluster = sector[13];
  const bool fatLike = bytesPerSector >= 512 && bytesPerSector <= 4096 && (bytesPerSector & (bytesPerSector - 1)) == 0 &&
                       perCluster != 0 && (perCluster & (perCluster - 1)) == 0;
  if (memcmp(sector + 3, "NTFS    ", 8) == 0) return fatLike;
  if (memcmp(sector + 3, "EXFAT   ", 8) == 0) return true;  // exFAT keeps its geometry elsewhere
  return fatLike && (memcmp(sector + 54, "FAT", 3) == 0 || memcmp(sector + 82, "FAT", 3) == 0);
}

}  // namespace

void VirtualDisk::ProcessMBR() {
  uint8_t sector[kSectorSize];
  memset(sector, 0, sizeof(sector));
  m_ExtendedRecordsSeen = 0;
  m_Scheme = vmpeek::PartitionSchemeNone;
  const NTSTATUS status = Read(0, 1, sector);
  if (status < 0) {
    TRACE_ERR(u"VirtualDisk::ProcessMBR read of MBR failed %08lx\n", static_cast<uint32_t>(status));
    return;
  }
  // Only a whole-disk open looks for a filesystem without a table; a host's open reads sector 0
  // as an MBR whatever it holds.
  if (m_Purpose == OpenPurpose::WholeDisk && IsVolumeBootRecord(sector)) {
    TRACE_DETAIL(u"VirtualDisk::ProcessMBR sector 0 is a filesystem's boot sector: no partition table\n");
    return;
  }
  ProcessNormalMBR(sector);
  if (m_Scheme == vmpeek::PartitionSchemeNone && PartitionCount() != 0)
    m_Scheme = vmpeek::PartitionSchemeMbr;
}

// True when one more extended record may be followed; otherwise writes why the chain stops.
bool VirtualDisk::MayFollowExtendedRecord(uint32_t sector) {
  if (PartitionCount() >= kMaxPartitions) {
    TRACE_ERR(u"VirtualDisk::ProcessExtendedMBR partition table is full, chain at sector %u not followed\n",
              sector);
    return false;
  }
  if (m_ExtendedRecordsSeen >= kMaxExtendedRecords) {
    TRACE_ERR(u"VirtualDisk::ProcessExtendedMBR more than %u extended records, chain at sector %u not followed\n",
              kMaxExtendedRecords, sector);
    return false;
  }
  for (uint32_t i = 0; i < m_ExtendedRecordsSeen; ++i) {
    if (m_ExtendedRecordSectors[i] == sector) {
      TRACE_ERR(u"VirtualDisk::ProcessExtendedMBR chain links back to sector %u, not followed\n", sector);
      return false;
    }
  }
  m_ExtendedRecordSectors[m_ExtendedRecordsSeen++] = sector;
  return true;
}

void VirtualDisk::ProcessNormalMBR(const uint8_t* sector) {
  if (!HasBootSignature(sector)) {
    TRACE_ERR(u"VirtualDisk::ProcessNormalMBR signature is incorrect\n");
    return;
  }
  const uint8_t* signatureBytes = sector + kSignatureOffset;
  const uint32_t signature = LoadLE32(signatureBytes);
  TRACE_DETAIL(u"VirtualDisk::ProcessNormalMBR DiskId = %08lx\n", signature);
  TRACE_DETAIL(u"MBR\n");
  for (int32_t i = 0; i < 4; ++i) DumpEntry(i, sector + kEntriesOffset + kEntrySize * i);
  if (HasProtectiveEntry(sector) && ProcessGPT()) return;

  for (int32_t i = 0; i < 4; ++i) {
    const uint8_t* entry = sector + kEntriesOffset + kEntrySize * i;
    const uint8_t type = entry[4];
    const uint32_t start = LoadLE32(entry + 8);
    const uint32_t count = LoadLE32(entry + 12);
    if (type == 0x00) continue;
    if (IsExtendedType(type)) {
      if (!MayFollowExtendedRecord(start)) continue;
      uint8_t record[kSectorSize];
      memset(record, 0, sizeof(record));
      const NTSTATUS status = Read(start, 1, record);
      if (status < 0) {
        TRACE_ERR(u"VirtualDisk::ProcessNormalMBR read of extended MBR at sector %d failed %08lx\n",
                  static_cast<int32_t>(start), static_cast<uint32_t>(status));
        continue;
      }
      ProcessExtendedMBR(record, signature, start, start);
    } else if (type == 0x42) {
      m_Scheme = vmpeek::PartitionSchemeLdm;
      ProcessLDMDisk(start);
    } else {
      uint8_t id[16];
      MakeUniqueId(id, signatureBytes, start);
      AddPartition(type, start, count, id);
    }
  }
}

void VirtualDisk::ProcessExtendedMBR(const uint8_t* record, uint32_t signature, uint32_t base,
                                     uint32_t here) {
  if (!HasBootSignature(record)) {
    TRACE_ERR(u"VirtualDisk::ProcessExtendedMBR signature is incorrect\n");
    return;
  }
  TRACE_DETAIL(u"Extended MBR @sector %d\n", static_cast<int32_t>(here));
  for (int32_t i = 0; i < 2; ++i) DumpEntry(i, record + kEntriesOffset + kEntrySize * i);

  uint8_t signatureBytes[4];
  StoreLE32(signatureBytes, signature);
  for (int32_t i = 0; i < 2; ++i) {
    const uint8_t* entry = record + kEntriesOffset + kEntrySize * i;
    const uint8_t type = entry[4];
    const uint32_t start = LoadLE32(entry + 8);
    const uint32_t count = LoadLE32(entry + 12);
    if (type == 0x00) continue;
    if (IsExtendedType(type)) {
      const uint32_t next = base + start;  // links are relative to the extended partition
      if (!MayFollowExtendedRecord(next)) continue;
      uint8_t nextRecord[kSectorSize];
      memset(nextRecord, 0, sizeof(nextRecord));
      const NTSTATUS status = Read(next, 1, nextRecord);
      if (status < 0) {
        TRACE_ERR(u"VirtualDisk::ProcessExtendedMBR read of another extended MBR at sector %d failed %08lx\n",
                  static_cast<int32_t>(next), static_cast<uint32_t>(status));
        continue;
      }
      ProcessExtendedMBR(nextRecord, signature, base, next);
    } else {
      const uint32_t first = here + start;  // logical drives are relative to their own record
      uint8_t id[16];
      MakeUniqueId(id, signatureBytes, first);
      AddPartition(type, first, count, id);
    }
  }
}

// LDM dynamic disks: the private header at the end of the disk, the 1 MB configuration
// database (TOCBLOCK, VMDB) and its VBLK records. Every partition record of the disk's own data
// area becomes one row, typed and identified by the volume its component belongs to. Each disk of
// a group carries the whole group's database, with every partition's start relative to the data
// area of the disk that holds it: a partition of another disk is no part of this one.
#include <algorithm>
#include <cstring>
#include <memory>

#include "disk/virtual_disk.h"
#include "module/parse_trace.h"
#include "platform/endian.h"

namespace {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kDatabaseSectors = 2048;
constexpr size_t kDatabaseBytes = static_cast<size_t>(kDatabaseSectors) * kSectorSize;
constexpr size_t kRecordHeader = 20;  // magic ... type byte at 19; members follow

constexpr uint8_t kTypeComponent = 0x32;
constexpr uint8_t kTypePartition = 0x33;
constexpr uint8_t kTypeVolume = 0x51;
constexpr uint8_t kTypeDiskTextId = 0x34;    // disk record, id as GUID text
constexpr uint8_t kTypeDiskBinaryId = 0x44;  // disk record, id as 16 bytes

constexpr uint8_t C = VirtualDisk::kCountedField;
// Member paths: field widths skipped from byte 20 of a record.
constexpr uint8_t kObjectId[] = {4};
constexpr uint8_t kPartitionStart[] = {4, C, C, 4, 8};
constexpr uint8_t kPartitionCount[] = {4, C, C, 4, 8, 8, 8};
constexpr uint8_t kPartitionComponent[] = {4, C, C, 4, 8, 8, 8, C};
constexpr uint8_t kPartitionDisk[] = {4, C, C, 4, 8, 8, 8, C, C};
constexpr uint8_t kDiskGuid[] = {4, C, C};
constexpr uint8_t kComponentVolume[] = {4, C, C, C, 1, 4, C, 8, 8};
constexpr uint8_t kVolumeType[] = {4, C, C, C, 1, 14, 1, 1, 1, 3, 1, C, 8, 8, C, 4};
constexpr uint8_t kVolumeGuid[] = {4, C, C, C, 1, 14, 1, 1, 1, 3, 1, C, 8, 8, C, 4, 1};

template <size_t N>
const uint8_t* Member(const uint8_t* record, size_t available, const uint8_t (&path)[N], uint8_t width) {
  return VirtualDisk::GetVBlkMember(record, available, path, N, width);
}

bool HasMagic(const uint8_t* p, size_t available, const char* magic, size_t length) {
  return available >= length && memcmp(p, magic, length) == 0;
}

// The records of the database that lie wholly inside the buffer.
struct RecordWalk {
  const uint8_t* database;
  uint64_t first;      // byte offset of record 0
  uint64_t size;       // record size, non-zero
  uint64_t usable;     // records 0 .. usable-1 lie wholly inside the buffer

  const uint8_t* At(uint64_t i) const { return database + first + i * size; }
  size_t Available(uint64_t i) const { return static_cast<size_t>(kDatabaseBytes - (first + i * size)); }
  // The record's type byte, or 0 when it has no VBLK magic.
  uint8_t TypeOf(uint64_t i) const {
    const size_t available = Available(i);
    if (available < kRecordHeader || !HasMagic(At(i), available, "VBLK", 4)) return 0;
    return At(i)[19];
  }
};

// Component and volume records by object id (low 32 bits). Lookups give the first record in
// database order, as a linear search from record 0 would.
struct IndexEntry {
  uint32_t id;
  uint64_t order;
  uint64_t volumeId;  // components only
};

class RecordIndex {
 public:
  bool Add(uint32_t id, uint64_t order, uint64_t volumeId) {
    if (m_Count == m_Capacity) return false;
    m_Entries[m_Count++] = IndexEntry{id, order, volumeId};
    return true;
  }
  void Reserve(uint64_t capacity) {
    if (capacity == 0) return;
    m_Entries = std::make_unique_for_overwrite<IndexEntry[]>(capacity);
    m_Capacity = capacity;
  }
  void Sort() {
    std::sort(m_Entries.get(), m_Entries.get() + m_Count, [](const IndexEntry& a, const IndexEntry& b) {
      return a.id != b.id ? a.id < b.id : a.order < b.order;
    });
  }
  const IndexEntry* Find(uint32_t id) const {
    const IndexEntry* begin = m_Entries.get();
    const IndexEntry* end = begin + m_Count;
    const IndexEntry* it = std::lower_bound(begin, end, id,
                                            [](const IndexEntry& e, uint32_t v) { return e.id < v; });
    return (it != end && it->id == id) ? it : nullptr;
  }

 private:
  std::unique_ptr<IndexEntry[]> m_Entries;
  uint64_t m_Count = 0;
  uint64_t m_Capacity = 0;
};

// Builds both indexes in one pass over the usable records; false when memory is lacking.
bool BuildIndexes(const RecordWalk& walk, RecordIndex& components, RecordIndex& volumes) {
  uint64_t componentCount = 0, volumeCount = 0;
  for (uint64_t i = 0; i < walk.usable; ++i) {
    const uint8_t type = walk.TypeOf(i);
    if (type == kTypeComponent) ++componentCount;
    if (type == kTypeVolume) ++volumeCount;
  }
  components.Reserve(componentCount);
  volumes.Reserve(volumeCount);
  for (uint64_t i = 0; i < walk.usable; ++i) {
    const uint8_t type = walk.TypeOf(i);
    const uint8_t* record = walk.At(i);
    const size_t available = walk.Available(i);
    if (type == kTypeComponent) {
      const uint8_t* id = Member(record, available, kObjectId, C);
      const uint8_t* volume = Member(record, available, kComponentVolume, C);
      if (id == nullptr || volume == nullptr) continue;
      const size_t idAvailable = available - static_cast<size_t>(id - record);
      const size_t volumeAvailable = available - static_cast<size_t>(volume - record);
      components.Add(static_cast<uint32_t>(VirtualDisk::CountedObject(id, idAvailable)), i,
                     VirtualDisk::CountedObject(volume, volumeAvailable));
    } else if (type == kTypeVolume) {
      const uint8_t* id = Member(record, available, kObjectId, C);
      if (id == nullptr) continue;
      const size_t idAvailable = available - static_cast<size_t>(id - record);
      volumes.Add(static_cast<uint32_t>(VirtualDisk::CountedObject(id, idAvailable)), i, 0);
    }
  }
  components.Sort();
  volumes.Sort();
  return true;
}

// A volume GUID as stored (first three fields big-endian) in Windows byte order.
void GuidToWindowsOrder(const uint8_t* stored, uint8_t out[16]) {
  out[0] = stored[3];
  out[1] = stored[2];
  out[2] = stored[1];
  out[3] = stored[0];
  out[4] = stored[5];
  out[5] = stored[4];
  out[6] = stored[7];
  out[7] = stored[6];
  memcpy(out + 8, stored + 8, 8);
}

// The counted number at a member position (bounded by the buffer).
uint64_t CountedAt(const uint8_t* record, size_t available, const uint8_t* member) {
  return VirtualDisk::CountedObject(member, available - static_cast<size_t>(member - record));
}


// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (hex digits of either case) to its 16 bytes in text order.
bool ParseGuidText(const uint8_t* text, size_t length, uint8_t out[16]) {
  if (length < 36) return false;
  size_t n = 0;
  for (size_t i = 0; i < 36; ++i) {
    const uint8_t c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
      continue;
    }
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0) return false;
    out[n / 2] = static_cast<uint8_t>(n % 2 ? (out[n / 2] | v) : v << 4);
    ++n;
  }
  return length == 36 || text[36] == 0;
}

// The private header: false (with its trace) when the sector cannot be read or is not one.
bool ReadPrivateHeader(VirtualDisk& disk, uint64_t sector, uint8_t* header) {
  memset(header, 0, kSectorSize);
  const NTSTATUS status = disk.Read(sector, 1, header);
  if (status < 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk failed to read last sector of disk (%I64d) status = %08lx\n",
              static_cast<int64_t>(sector), static_cast<uint32_t>(status));
    return false;
  }
  if (memcmp(header, "PRIVHEAD", 8) != 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk signature of last sector is not PRIVHEAD\n");
    return false;
  }
  return true;
}

// Reads the 1 MB database the private header names; null (with its trace) on failure.
std::unique_ptr<uint8_t[]> ReadDatabase(VirtualDisk& disk, const uint8_t* header, uint64_t diskSectors) {
  const uint64_t databaseStart = LoadBE64(header + 0x12B);
  const uint64_t databaseSize = LoadBE64(header + 0x133);
  if (static_cast<uint32_t>(databaseSize) != kDatabaseSectors) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk size of LDM configuration is not 1Mb.\n");
    return nullptr;
  }
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(kDatabaseBytes);
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  // A start that would carry the read past the disk (or wrap) is refused before the disk sees it.
  if (databaseStart <= diskSectors && diskSectors - databaseStart >= kDatabaseSectors) {
    status = disk.Read(databaseStart, kDatabaseSectors, buffer.get());
  }
  if (status < 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk read of configuration database failed %08lx\n",
              static_cast<uint32_t>(status));
    return nullptr;
  }
  return buffer;
}

// TOCBLOCK (byte 512, or byte 1024 on later systems), its config entry, the VMDB and the first
// record. Fills the walk (records wholly inside the buffer) and the declared record count.
bool LocateRecords(const uint8_t* db, RecordWalk* walk, uint32_t* recordCount) {
  const uint8_t* toc = db + 512;
  if (memcmp(toc, "TOCBLOCK", 8) != 0) toc = db + 1024;
  if (memcmp(toc, "TOCBLOCK", 8) != 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk signature of TOCBLOCK is wrong.\n");
    return false;
  }
  uint64_t configStart;
  if (memcmp(toc + 0x24, "config", 6) == 0) {
    configStart = LoadBE64(toc + 0x2E);
  } else if (memcmp(toc + 0x46, "config", 6) == 0) {
    configStart = LoadBE64(toc + 0x50);
  } else {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk couldn't find config bitmap in TOCBLOCK.\n");
    return false;
  }
  if (configStart >= kDatabaseSectors) return false;
  const uint64_t vmdbOffset = configStart * kSectorSize;
  const uint8_t* vmdb = db + vmdbOffset;
  if (memcmp(vmdb, "VMDB", 4) != 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk config signature is not VMDB.\n");
    return false;
  }
  *recordCount = LoadBE32(vmdb + 4);
  const uint32_t recordSize = LoadBE32(vmdb + 8);
  const uint32_t firstOffset = LoadBE32(vmdb + 12);
  const uint64_t first = vmdbOffset + firstOffset;
  if (firstOffset >= kDatabaseBytes || first + 4 > kDatabaseBytes) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk 1st VBLK is out of range.\n");
    return false;
  }
  if (memcmp(db + first, "VBLK", 4) != 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk a VBLK signature is wrong.\n");
    return false;
  }
  if (*recordCount == 0) return false;
  if (recordSize == 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk VBLK size is 0.\n");
    return false;
  }
  const uint64_t fitting = first + recordSize > kDatabaseBytes ? 0 : (kDatabaseBytes - first) / recordSize;
  *walk = RecordWalk{db, first, recordSize, std::min<uint64_t>(*recordCount, fitting)};
  return true;
}

// The object id of the disk record whose GUID is the private header's disk id.
bool FindOwnDisk(const RecordWalk& walk, const uint8_t* header, uint64_t* diskId) {
  uint8_t own[16];
  if (!ParseGuidText(header + 0x30, 64, own)) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk the private header's disk id is not a GUID.\n");
    return false;
  }
  for (uint64_t i = 0; i < walk.usable; ++i) {
    const uint8_t type = walk.TypeOf(i);
    if (type != kTypeDiskTextId && type != kTypeDiskBinaryId) continue;
    const uint8_t* record = walk.At(i);
    const size_t available = walk.Available(i);
    const uint8_t* id = Member(record, available, kObjectId, C);
    const uint8_t* guid = Member(record, available, kDiskGuid, type == kTypeDiskTextId ? C : 16);
    if (id == nullptr || guid == nullptr) continue;
    uint8_t bytes[16];
    if (type == kTypeDiskTextId) {
      const size_t length = std::min<size_t>(guid[0], available - static_cast<size_t>(guid + 1 - record));
      if (!ParseGuidText(guid + 1, length, bytes)) continue;
    } else {
      memcpy(bytes, guid, 16);
    }
    if (memcmp(bytes, own, 16) != 0) continue;
    *diskId = CountedAt(record, available, id);
    return true;
  }
  char text[37] = {};
  memcpy(text, header + 0x30, 36);
  TRACE_ERR(u"VirtualDisk::ProcessLDMDisk no disk record carries this disk's id %hs.\n", text);
  return false;
}

struct LdmRow {
  uint8_t type = 0x42;
  uint64_t start = 0, count = 0;
  uint8_t uniqueId[16] = {};
};

// The row of partition record i when it lives on this disk (disk object id `own`); false when
// its members cannot be found or it belongs to another disk of the group.
bool PartitionRow(const RecordWalk& walk, uint64_t i, uint32_t base, uint64_t own, const RecordIndex& components,
                  const RecordIndex& volumes, LdmRow* row) {
  const uint8_t* record = walk.At(i);
  const size_t available = walk.Available(i);
  const uint8_t* startMember = Member(record, available, kPartitionStart, 8);
  const uint8_t* countMember = Member(record, available, kPartitionCount, C);
  const uint8_t* idMember = Member(record, available, kObjectId, C);
  const uint8_t* componentMember = Member(record, available, kPartitionComponent, C);
  const uint8_t* diskMember = Member(record, available, kPartitionDisk, C);
  if (!startMember || !countMember || !idMember || !componentMember || !diskMember) return false;

  row->start = LoadBE64(startMember) + base;
  row->count = CountedAt(record, available, countMember);
  const uint64_t id = CountedAt(record, available, idMember);
  const uint64_t component = CountedAt(record, available, componentMember);
  const uint64_t disk = CountedAt(record, available, diskMember);
  if (disk != own) {
    TRACE_DETAIL(u"VirtualDisk::ProcessLDMDisk partition %04lx lives on disk %04lx, not on this disk (%04lx).\n",
                 static_cast<uint32_t>(id), static_cast<uint32_t>(disk), static_cast<uint32_t>(own));
    return false;
  }
  TRACE_DETAIL(u"VirtualDisk::ProcessLDMDisk Found a partition %04lx owned by component %04lx.\n",
               static_cast<uint32_t>(id), static_cast<uint32_t>(component));
  const IndexEntry* owner =
      component != 0 && component <= UINT32_MAX ? components.Find(static_cast<uint32_t>(component)) : nullptr;
  if (owner == nullptr) return true;
  TRACE_DETAIL(u"VirtualDisk::ProcessLDMDisk Found a component %04lx owned by volume %04lx.\n",
               static_cast<uint32_t>(component), static_cast<uint32_t>(owner->volumeId));
  const IndexEntry* volume =
      owner->volumeId <= UINT32_MAX ? volumes.Find(static_cast<uint32_t>(owner->volumeId)) : nullptr;
  if (volume == nullptr) return true;
  TRACE_DETAIL(u"VirtualDisk::ProcessLDMDisk Found a volume %04lx \n", static_cast<uint32_t>(owner->volumeId));
  const uint8_t* volumeRecord = walk.At(volume->order);
  const size_t volumeAvailable = walk.Available(volume->order);
  if (const uint8_t* t = Member(volumeRecord, volumeAvailable, kVolumeType, 1)) row->type = *t;
  if (const uint8_t* g = Member(volumeRecord, volumeAvailable, kVolumeGuid, 16)) GuidToWindowsOrder(g, row->uniqueId);
  return true;
}

}  // namespace

const uint8_t* VirtualDisk::GetVBlkMember(const uint8_t* record, size_t available, const uint8_t* path,
                                          size_t pathLength, uint8_t memberWidth) {
  size_t position = kRecordHeader;
  bool found = true;
  for (size_t i = 0; i < pathLength && found; ++i) {
    if (path[i] == kCountedField) {
      if (position >= available) {
        found = false;
        break;
      }
      position += 1u + record[position];
    } else {
      position += path[i];
    }
    if (position > 128) found = false;
  }
  const size_t needed = memberWidth == kCountedField ? 1u : memberWidth;
  if (found && position + needed > available) found = false;
  if (!found) {
    TRACE_ERR(u"VirtualDisk::GetVBlkMember fell off end of VBlk\n");
    return nullptr;
  }
  return record + position;
}

uint64_t VirtualDisk::CountedObject(const uint8_t* position, size_t available) {
  if (available == 0) {
    TRACE_ERR(u"VirtualDisk::CountedObject size = %d\n", 0);
    return 0;
  }
  const uint8_t n = position[0];
  if (n < 1 || n > 4) {
    TRACE_ERR(u"VirtualDisk::CountedObject size = %d\n", static_cast<int32_t>(n));
    return 0;
  }
  if (static_cast<size_t>(n) + 1 > available) {
    TRACE_ERR(u"VirtualDisk::CountedObject size = %d runs past the end of the database\n",
              static_cast<int32_t>(n));
    return 0;
  }
  uint64_t value = 0;
  for (uint8_t i = 1; i <= n; ++i) value = (value << 8) | position[i];
  return value;
}

void VirtualDisk::ProcessLDMDisk(uint32_t base) {
  // The private header: the disk's last sector, else the geometry's last sector.
  uint8_t header[kSectorSize];
  if (!ReadPrivateHeader(*this, m_SectorCount - 1, header) &&
      !ReadPrivateHeader(*this, m_Cylinders * m_TracksPerCylinder * m_SectorsPerTrack - 1, header)) {
    return;
  }
  std::unique_ptr<uint8_t[]> database = ReadDatabase(*this, header, m_SectorCount);
  if (!database) return;
  RecordWalk walk{};
  uint32_t recordCount = 0;
  if (!LocateRecords(database.get(), &walk, &recordCount)) return;
  RecordIndex components, volumes;
  if (!BuildIndexes(walk, components, volumes)) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk memory allocation failed.\n");
    return;
  }
  uint64_t own = 0;
  const bool found = FindOwnDisk(walk, header, &own);

  for (uint64_t i = 0; found && i < walk.usable; ++i) {
    LdmRow row;
    if (walk.TypeOf(i) != kTypePartition || !PartitionRow(walk, i, base, own, components, volumes, &row)) continue;
    if (static_cast<uint32_t>(row.count) == 0) continue;
    const bool full = PartitionCount() >= kMaxPartitions;
    AddPartition(row.type, static_cast<uint32_t>(row.start), static_cast<uint32_t>(row.count), row.uniqueId);
    if (full) {  // AddPartition traced the drop
      TRACE_ERR(u"VirtualDisk::ProcessLDMDisk partition table is full, remaining VBLKs ignored.\n");
      return;
    }
  }
  if (walk.usable < recordCount) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk found VBLK outside of configuration database.\n");
  }
}

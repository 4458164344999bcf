// LDM dynamic disks: the private header at the end of the disk, the 1 MB configuration
// database (TOCBLOCK, VMDB) and its VBLK records. Every partition record becomes one row, typed
// and identified by the volume its component belongs to.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

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

constexpr uint8_t C = VirtualDisk::kCountedField;
// Member paths: field widths skipped from byte 20 of a record.
constexpr uint8_t kObjectId[] = {4};
constexpr uint8_t kPartitionStart[] = {4, C, C, 4, 8};
constexpr uint8_t kPartitionCount[] = {4, C, C, 4, 8, 8, 8};
constexpr uint8_t kPartitionComponent[] = {4, C, C, 4, 8, 8, 8, C};
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
  bool Reserve(uint64_t capacity) {
    if (capacity == 0) return true;
    m_Entries.reset(new (std::nothrow) IndexEntry[capacity]);
    m_Capacity = m_Entries ? capacity : 0;
    return m_Entries != nullptr;
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
  if (!components.Reserve(componentCount) || !volumes.Reserve(volumeCount)) return false;
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
  // 1. The private header: the disk's last sector, else the geometry's last sector.
  uint8_t header[kSectorSize];
  auto readPrivateHeader = [&](uint64_t sector) {
    memset(header, 0, sizeof(header));
    const NTSTATUS status = Read(sector, 1, header);
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
  };
  if (!readPrivateHeader(m_SectorCount - 1) &&
      !readPrivateHeader(m_Cylinders * m_TracksPerCylinder * m_SectorsPerTrack - 1)) {
    return;
  }

  // 2-4. The 1 MB configuration database.
  const uint64_t databaseStart = LoadBE64(header + 0x12B);
  const uint64_t databaseSize = LoadBE64(header + 0x133);
  if (static_cast<uint32_t>(databaseSize) != kDatabaseSectors) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk size of LDM configuration is not 1Mb.\n");
    return;
  }
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kDatabaseBytes]);
  if (!buffer) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk memory allocation failed.\n");
    return;
  }
  const uint8_t* db = buffer.get();
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  // A start that would carry the read past the disk (or wrap) is refused before the disk sees it.
  if (databaseStart <= m_SectorCount && m_SectorCount - databaseStart >= kDatabaseSectors) {
    status = Read(databaseStart, kDatabaseSectors, buffer.get());
  }
  if (status < 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk read of configuration database failed %08lx\n",
              static_cast<uint32_t>(status));
    return;
  }

  // 5. TOCBLOCK (byte 512, or byte 1024 on later systems), the config bitmap entry, VMDB.
  const uint8_t* toc = db + 512;
  if (memcmp(toc, "TOCBLOCK", 8) != 0) toc = db + 1024;
  if (memcmp(toc, "TOCBLOCK", 8) != 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk signature of TOCBLOCK is wrong.\n");
    return;
  }
  uint64_t configStart;
  if (memcmp(toc + 0x24, "config", 6) == 0) {
    configStart = LoadBE64(toc + 0x2E);
  } else if (memcmp(toc + 0x46, "config", 6) == 0) {
    configStart = LoadBE64(toc + 0x50);
  } else {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk couldn't find config bitmap in TOCBLOCK.\n");
    return;
  }
  if (configStart >= kDatabaseSectors) return;
  const uint64_t vmdbOffset = configStart * kSectorSize;
  const uint8_t* vmdb = db + vmdbOffset;
  if (memcmp(vmdb, "VMDB", 4) != 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk config signature is not VMDB.\n");
    return;
  }
  const uint32_t recordCount = LoadBE32(vmdb + 4);
  const uint32_t recordSize = LoadBE32(vmdb + 8);
  const uint32_t firstOffset = LoadBE32(vmdb + 12);

  // 6. The first record.
  const uint64_t first = vmdbOffset + firstOffset;
  if (firstOffset >= kDatabaseBytes || first + 4 > kDatabaseBytes) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk 1st VBLK is out of range.\n");
    return;
  }
  if (memcmp(db + first, "VBLK", 4) != 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk a VBLK signature is wrong.\n");
    return;
  }
  if (recordCount == 0) return;
  if (recordSize == 0) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk VBLK size is 0.\n");
    return;
  }

  // 7. The walk, over the records that lie wholly inside the buffer.
  RecordWalk walk{db, first, recordSize, 0};
  const uint64_t fitting = first + recordSize > kDatabaseBytes ? 0 : (kDatabaseBytes - first) / recordSize;
  walk.usable = std::min<uint64_t>(recordCount, fitting);

  RecordIndex components, volumes;
  if (!BuildIndexes(walk, components, volumes)) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk memory allocation failed.\n");
    return;
  }

  for (uint64_t i = 0; i < walk.usable; ++i) {
    if (walk.TypeOf(i) != kTypePartition) continue;
    const uint8_t* record = walk.At(i);
    const size_t available = walk.Available(i);
    const uint8_t* startMember = Member(record, available, kPartitionStart, 8);
    const uint8_t* countMember = Member(record, available, kPartitionCount, C);
    const uint8_t* idMember = Member(record, available, kObjectId, C);
    const uint8_t* componentMember = Member(record, available, kPartitionComponent, C);
    if (!startMember || !countMember || !idMember || !componentMember) continue;

    const uint64_t start = LoadBE64(startMember) + base;
    const uint64_t count = CountedAt(record, available, countMember);
    const uint64_t id = CountedAt(record, available, idMember);
    const uint64_t component = CountedAt(record, available, componentMember);
    TRACE_DETAIL(u"VirtualDisk::ProcessLDMDisk Found a partition %04lx owned by component %04lx.\n",
                 static_cast<uint32_t>(id), static_cast<uint32_t>(component));

    uint8_t type = 0x42;
    uint8_t uniqueId[16] = {};
    const IndexEntry* owner = component != 0 && component <= UINT32_MAX
                                  ? components.Find(static_cast<uint32_t>(component))
                                  : nullptr;
    if (owner != nullptr) {
      TRACE_DETAIL(u"VirtualDisk::ProcessLDMDisk Found a component %04lx owned by volume %04lx.\n",
                   static_cast<uint32_t>(component), static_cast<uint32_t>(owner->volumeId));
      const IndexEntry* volume =
          owner->volumeId <= UINT32_MAX ? volumes.Find(static_cast<uint32_t>(owner->volumeId)) : nullptr;
      if (volume != nullptr) {
        TRACE_DETAIL(u"VirtualDisk::ProcessLDMDisk Found a volume %04lx \n",
                     static_cast<uint32_t>(owner->volumeId));
        const uint8_t* volumeRecord = walk.At(volume->order);
        const size_t volumeAvailable = walk.Available(volume->order);
        if (const uint8_t* t = Member(volumeRecord, volumeAvailable, kVolumeType, 1)) type = *t;
        if (const uint8_t* g = Member(volumeRecord, volumeAvailable, kVolumeGuid, 16)) {
          GuidToWindowsOrder(g, uniqueId);
        }
      }
    }
    if (static_cast<uint32_t>(count) == 0) continue;
    if (m_PartitionCount >= kMaxPartitions) {
      AddPartition(type, static_cast<uint32_t>(start), static_cast<uint32_t>(count), uniqueId);  // traces the drop
      TRACE_ERR(u"VirtualDisk::ProcessLDMDisk partition table is full, remaining VBLKs ignored.\n");
      return;
    }
    AddPartition(type, static_cast<uint32_t>(start), static_cast<uint32_t>(count), uniqueId);
  }
  if (walk.usable < recordCount) {
    TRACE_ERR(u"VirtualDisk::ProcessLDMDisk found VBLK outside of configuration database.\n");
  }
}

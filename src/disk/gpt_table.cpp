// GPT partition tables: the header at sector 1 (or its backup at the last sector), the entry
// array it points to, and one row per used entry in entry order. Every field that sizes or
// places a read is checked against the disk and fixed limits before anything is allocated.
#include "disk/gpt_table.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "disk/gpt_types.h"
#include "module/parse_trace.h"
#include "platform/crc32.h"
#include "platform/endian.h"

namespace {

constexpr uint32_t kHeaderMinSize = 92;
constexpr uint32_t kHeaderCrcOffset = 16;
constexpr uint32_t kEntryUnit = 128;
constexpr uint32_t kEntryMaxSize = 4096;
constexpr uint64_t kArrayMaxBytes = 1u << 20;
constexpr uint32_t kNameUnits = 36;

// The fields of a header that passed every check.
struct GptHeader {
  uint64_t firstUsable = 0;
  uint64_t lastUsable = 0;
  uint64_t entryLba = 0;
  uint32_t entryCount = 0;
  uint32_t entrySize = 0;
  uint64_t ArrayBytes() const { return static_cast<uint64_t>(entryCount) * entrySize; }
};

// Why a header or an entry was refused, for its trace line.
struct Reason {
  char text[200] = "";
  bool Set(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return false;
  }
};

struct Geometry {
  uint64_t sectors;
  uint32_t bytesPerSector;
};

bool IsZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

// Checks one header sector read from `lba`; fills *h when it is usable.
bool CheckHeader(const uint8_t* s, uint64_t lba, const Geometry& disk, GptHeader* h, Reason* why) {
  if (memcmp(s, "EFI PART", 8) != 0) return why->Set("signature is not \"EFI PART\"");
  const uint32_t revision = LoadLE32(s + 8);
  if ((revision >> 16) != 1) return why->Set("revision %08x is not 1.x", revision);
  const uint32_t size = LoadLE32(s + 12);
  if (size < kHeaderMinSize || size > disk.bytesPerSector)
    return why->Set("header size %u is not within %u..%u", size, kHeaderMinSize, disk.bytesPerSector);
  static const uint8_t kZeroCrc[4] = {};
  uint32_t crc = Crc32Update(0, s, kHeaderCrcOffset);
  crc = Crc32Update(crc, kZeroCrc, 4);
  crc = Crc32Update(crc, s + kHeaderCrcOffset + 4, size - kHeaderCrcOffset - 4);
  if (crc != LoadLE32(s + kHeaderCrcOffset))
    return why->Set("header CRC32 %08x does not match its contents (%08x)", LoadLE32(s + kHeaderCrcOffset), crc);
  const uint64_t myLba = LoadLE64(s + 24);
  if (myLba != lba) return why->Set("its own sector field is %llu", static_cast<unsigned long long>(myLba));

  h->firstUsable = LoadLE64(s + 40);
  h->lastUsable = LoadLE64(s + 48);
  // Usable sectors lie strictly between the primary header (1) and the backup (last sector).
  if (h->firstUsable < 2 || h->firstUsable > h->lastUsable || h->lastUsable >= disk.sectors - 1)
    return why->Set("usable sectors %llu..%llu are not inside the disk of %llu sectors",
                    static_cast<unsigned long long>(h->firstUsable), static_cast<unsigned long long>(h->lastUsable),
                    static_cast<unsigned long long>(disk.sectors));
  h->entryLba = LoadLE64(s + 72);
  h->entryCount = LoadLE32(s + 80);
  h->entrySize = LoadLE32(s + 84);
  if (h->entrySize < kEntryUnit || h->entrySize > kEntryMaxSize || h->entrySize % kEntryUnit != 0)
    return why->Set("entry size %u is not a multiple of %u up to %u", h->entrySize, kEntryUnit, kEntryMaxSize);
  if (h->ArrayBytes() > kArrayMaxBytes)
    return why->Set("%u entries of %u bytes exceed %llu bytes", h->entryCount, h->entrySize,
                    static_cast<unsigned long long>(kArrayMaxBytes));
  const uint64_t arraySectors = (h->ArrayBytes() + disk.bytesPerSector - 1) / disk.bytesPerSector;
  if (arraySectors == 0) return true;
  if (h->entryLba >= disk.sectors || arraySectors > disk.sectors - h->entryLba)
    return why->Set("entry array at sector %llu (%llu sectors) ends past the disk",
                    static_cast<unsigned long long>(h->entryLba), static_cast<unsigned long long>(arraySectors));
  const uint64_t arrayEnd = h->entryLba + arraySectors;  // exclusive
  if (h->entryLba == 0 || (h->entryLba <= lba && lba < arrayEnd))
    return why->Set("entry array at sector %llu (%llu sectors) overlaps the MBR or the header",
                    static_cast<unsigned long long>(h->entryLba), static_cast<unsigned long long>(arraySectors));
  if (h->entryLba <= h->lastUsable && h->firstUsable < arrayEnd)
    return why->Set("entry array at sector %llu (%llu sectors) overlaps the usable sectors",
                    static_cast<unsigned long long>(h->entryLba), static_cast<unsigned long long>(arraySectors));
  return true;
}

// Reads and checks the header at `lba` and its entry array (one read, CRC checked).
bool LoadTable(VirtualDisk& disk, uint64_t lba, const Geometry& geometry, GptHeader* h,
               std::unique_ptr<uint8_t[]>* entries, Reason* why) {
  uint8_t sector[kEntryMaxSize];
  NTSTATUS status = disk.Read(lba, 1, sector);
  if (status < 0) return why->Set("read failed %08x", static_cast<uint32_t>(status));
  if (!CheckHeader(sector, lba, geometry, h, why)) return false;
  const uint32_t arrayCrc = LoadLE32(sector + 88);
  const uint64_t arraySectors = (h->ArrayBytes() + geometry.bytesPerSector - 1) / geometry.bytesPerSector;
  // At most 1 MiB + one sector, from checked fields.
  *entries = std::make_unique_for_overwrite<uint8_t[]>(arraySectors * geometry.bytesPerSector + 1);
  if (arraySectors != 0) {
    status = disk.Read(h->entryLba, static_cast<uint32_t>(arraySectors), entries->get());
    if (status < 0) return why->Set("entry array read failed %08x", static_cast<uint32_t>(status));
  }
  const uint32_t crc = Crc32(entries->get(), static_cast<size_t>(h->ArrayBytes()));
  if (crc != arrayCrc) return why->Set("entry array CRC32 %08x does not match its contents (%08x)", arrayCrc, crc);
  return true;
}

}  // namespace

bool VirtualDisk::ProcessGPT() {
  const Geometry geometry{m_SectorCount, m_BytesPerSector};
  const uint32_t bps = geometry.bytesPerSector;
  if (bps < 512 || bps > kEntryMaxSize || (bps & (bps - 1)) != 0 || geometry.sectors < 3) {
    TRACE_ERR(u"VirtualDisk::ProcessGPT a disk of %I64u sectors of %u bytes holds no GPT, using the MBR entries\n",
              geometry.sectors, bps);
    return false;
  }
  GptHeader header;
  std::unique_ptr<uint8_t[]> entries;
  Reason why;
  if (LoadTable(*this, 1, geometry, &header, &entries, &why)) {
    TRACE_DETAIL(u"VirtualDisk::ProcessGPT using the primary header at sector 1\n");
  } else {
    TRACE_ERR(u"VirtualDisk::ProcessGPT primary header at sector 1 is bad: %hs\n", why.text);
    const uint64_t last = geometry.sectors - 1;
    if (!LoadTable(*this, last, geometry, &header, &entries, &why)) {
      TRACE_ERR(u"VirtualDisk::ProcessGPT backup header at sector %I64u is bad: %hs\n", last, why.text);
      TRACE_ERR(u"VirtualDisk::ProcessGPT no valid GPT header, using the MBR entries\n");
      return false;
    }
    TRACE_ERR(u"VirtualDisk::ProcessGPT using the backup header at sector %I64u\n", last);
  }
  m_GptRows = std::make_unique<GptRowDetails[]>(kMaxPartitions);
  m_Scheme = vmpeek::PartitionSchemeGpt;
  AddGptRows(entries.get(), header.entryCount, header.entrySize, header.firstUsable, header.lastUsable);
  return true;
}

void VirtualDisk::AddGptRows(const uint8_t* entries, uint32_t count, uint32_t size, uint64_t firstUsable,
                             uint64_t lastUsable) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = entries + static_cast<size_t>(i) * size;
    if (IsZero(entry, 16)) continue;  // unused
    const uint64_t first = LoadLE64(entry + 32);
    const uint64_t last = LoadLE64(entry + 40);
    Reason why;
    if (last < first) {
      why.Set("its last sector is before its first");
    } else if (first < firstUsable || last > lastUsable) {
      why.Set("it lies outside the usable sectors %llu..%llu", static_cast<unsigned long long>(firstUsable),
              static_cast<unsigned long long>(lastUsable));
    } else if (last > 0xFFFFFFFFu) {
      why.Set("it ends past sector 2^32 - 1");
    } else {
      for (uint32_t k = 0; k < PartitionCount(); ++k) {
        const PartitionEntry& row = m_Partitions[k];
        if (first < static_cast<uint64_t>(row.firstSector) + row.sectorCount && row.firstSector <= last) {
          why.Set("it overlaps partition %u", k);
          break;
        }
      }
    }
    if (why.text[0] != 0) {
      TRACE_ERR(u"VirtualDisk::ProcessGPT entry %u (sectors %I64u..%I64u) skipped: %hs\n", i, first, last, why.text);
      continue;
    }
    if (PartitionCount() >= kMaxPartitions) {
      TRACE_ERR(u"VirtualDisk::ProcessGPT partition table is full, entries from %u on are not listed\n", i);
      return;
    }
    GptRowDetails& details = m_GptRows[PartitionCount()];
    memcpy(details.typeGuid, entry, 16);
    uint32_t n = 0;
    for (; n < kNameUnits; ++n) {
      const uint16_t unit = LoadLE16(entry + 56 + 2 * n);
      if (unit == 0) break;
      details.name[n] = static_cast<WCHAR>(unit);
    }
    details.name[n] = 0;
    const GptTypeInfo* type = FindGptType(entry);
    TRACE_DETAIL(u"VirtualDisk::ProcessGPT entry %u: type %hs, sectors %I64u..%I64u\n", i,
                 GuidToText(entry).c_str(), first, last);
    AddPartition(type ? type->mbrType : 0x00, static_cast<uint32_t>(first), static_cast<uint32_t>(last - first + 1),
                 entry + 16);
  }
}

NTSTATUS DiskGetGptEntry(VirtualDisk* disk, uint8_t index, uint8_t typeGuid[16], WCHAR name[37]) {
  if (typeGuid != nullptr) memset(typeGuid, 0, 16);
  if (name != nullptr) name[0] = 0;
  if (disk == nullptr || typeGuid == nullptr || name == nullptr) {
    TRACE_ERR(u"DiskGetGptEntry a disk and both outputs are required\n");
    return STATUS_INVALID_PARAMETER;
  }
  if (disk->Scheme() != vmpeek::PartitionSchemeGpt || disk->GptRows() == nullptr) {
    TRACE_ERR(u"DiskGetGptEntry the disk has no GPT\n");
    return STATUS_NOT_FOUND;
  }
  if (index >= disk->GetPartitionCount()) {
    TRACE_ERR(u"DiskGetGptEntry invalid partition requested %d >= %d\n", static_cast<int32_t>(index),
              static_cast<int32_t>(disk->GetPartitionCount()));
    return STATUS_INVALID_PARAMETER;
  }
  const GptRowDetails& details = disk->GptRows()[index];
  memcpy(typeGuid, details.typeGuid, sizeof details.typeGuid);
  memcpy(name, details.name, sizeof details.name);
  return STATUS_SUCCESS;
}

vmpeek::PartitionScheme DiskGetPartitionScheme(VirtualDisk* disk) {
  return disk == nullptr ? vmpeek::PartitionSchemeNone : disk->Scheme();
}

#include "ldm_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <tuple>

#include "support/test_support.h"

namespace vmtest {
namespace {

void Counted(std::vector<uint8_t>& out, uint64_t value) {
  uint8_t bytes[8];
  int n = 0;
  do {
    bytes[n++] = static_cast<uint8_t>(value);
    value >>= 8;
  } while (value != 0);
  out.push_back(static_cast<uint8_t>(n));
  while (n > 0) out.push_back(bytes[--n]);
}
void Text(std::vector<uint8_t>& out, const std::string& s) {
  out.push_back(static_cast<uint8_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}
void Fixed(std::vector<uint8_t>& out, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Identity of the one disk and its group, as strings wherever the format keeps them as text.
constexpr char kGroupName[] = "Builder-Dg0";
constexpr char kGroupGuid[] = "5d0c4a1e-3b2f-4c6d-9e8f-0a1b2c3d4e5f";
constexpr char kDiskGuid[] = "6e1d5b2f-4c30-4d7e-8f90-1b2c3d4e5f60";
constexpr char kHostGuid[] = "7f2e6c30-5d41-4e8f-90a1-2c3d4e5f6071";
constexpr uint32_t kGroupId = 1, kDiskId = LdmPartition{}.diskId, kSignature = 0x4C444D31;
constexpr uint64_t kCommitted = 5, kStamp = 0x01CD901CEB898E23;  // transaction id, FILETIME
constexpr uint64_t kConfigSectors = 1481, kLogStart = 1498, kLogSectors = 224, kSecondToc = 2046;

// Fixed-width text, zero padded.
void Pad(uint8_t* at, const std::string& s, size_t width) { memcpy(at, s.data(), std::min(s.size(), width)); }

// The checksum of PRIVHEAD and TOCBLOCK: the sum of the sector's bytes, its own 4 bytes left out.
void Checksum(uint8_t* sector) {
  uint32_t sum = 0;
  for (int i = 0; i < 512; ++i) sum += (i >= 8 && i < 12) ? 0 : sector[i];
  PutBE32(sector + 8, sum);
}

// A record: "VBLK", sequence, group, fragment 0 of 1, status, flags, type, body length, body.
std::vector<uint8_t> Record(uint32_t sequence, uint8_t type, const std::vector<uint8_t>& body, uint32_t size) {
  std::vector<uint8_t> r(size < 24 + body.size() ? 24 + body.size() : size);
  memcpy(r.data(), "VBLK", 4);
  PutBE32(&r[4], sequence);
  PutBE32(&r[8], sequence);
  PutBE16(&r[14], 1);
  r[19] = type;
  PutBE32(&r[20], static_cast<uint32_t>(body.size()));
  memcpy(&r[24], body.data(), body.size());
  return r;
}

// Every body opens with the object's id and name; the 8-byte kCommitted fields below are the
// transaction that last changed the object.
std::vector<uint8_t> Head(uint32_t id, const std::string& name) {
  std::vector<uint8_t> b;
  Counted(b, id);
  Text(b, name);
  return b;
}

std::vector<uint8_t> GroupBody() {
  auto b = Head(kGroupId, kGroupName);
  Text(b, kGroupGuid);
  Fixed(b, 0, 4);
  Fixed(b, kCommitted, 8);
  return b;
}

std::vector<uint8_t> DiskBody() {
  auto b = Head(kDiskId, "Disk1");
  Text(b, kDiskGuid);
  Text(b, "");  // alternate name
  Fixed(b, 0, 4);
  Fixed(b, kCommitted, 8);
  return b;
}

std::vector<uint8_t> VolumeBody(const LdmVolume& v, uint32_t number, uint32_t children, uint64_t size) {
  auto b = Head(v.id, v.name);
  Text(b, "gen");
  Text(b, "");  // the one-byte field after the volume type
  std::string state = "ACTIVE";
  state.resize(14, '\0');
  b.insert(b.end(), state.begin(), state.end());
  b.push_back(3);  // volume type: generic
  b.push_back(1);
  b.push_back(static_cast<uint8_t>(number));
  b.insert(b.end(), 3, 0);
  b.push_back(0);  // flags
  Counted(b, children);
  Fixed(b, 0, 8);
  Fixed(b, kCommitted, 8);
  Counted(b, size);
  Fixed(b, 0, 4);
  b.push_back(v.partitionType);
  b.insert(b.end(), v.guid.begin(), v.guid.end());
  return b;
}

std::vector<uint8_t> ComponentBody(const LdmComponent& c, uint32_t children) {
  auto b = Head(c.id, c.name);
  Text(b, "ACTIVE");
  b.push_back(2);  // concatenated
  Fixed(b, 0, 4);
  Counted(b, children);
  Fixed(b, kCommitted, 8);
  Fixed(b, 0, 8);
  Counted(b, c.volumeId);
  b.push_back(0);
  return b;
}

std::vector<uint8_t> PartitionBody(const LdmPartition& p, uint64_t volumeOffset) {
  auto b = Head(p.id, p.name);
  Fixed(b, 0, 4);
  Fixed(b, kCommitted, 8);
  Fixed(b, p.start, 8);
  Fixed(b, volumeOffset, 8);
  Counted(b, p.count);
  Counted(b, p.componentId);
  Counted(b, p.diskId);
  return b;
}

}  // namespace

LdmImage LdmImage::Simple(const std::vector<std::pair<uint64_t, uint64_t>>& startsAndCounts) {
  LdmImage image;
  uint32_t n = 0;
  for (const auto& [start, count] : startsAndCounts) {
    ++n;
    std::array<uint8_t, 16> guid{};
    for (int i = 0; i < 16; ++i) guid[i] = static_cast<uint8_t>(0x10 * n + i);
    image.volumes.push_back({0x100 + n, "Volume" + std::to_string(n), 0x07, guid});
    image.components.push_back({0x200 + n, "Volume" + std::to_string(n) + "-01", 0x100 + n});
    image.partitions.push_back({0x300 + n, "Disk1-0" + std::to_string(n), start, count, 0x200 + n});
  }
  return image;
}

uint64_t WriteLdmImage(const std::string& path, const LdmImage& image) {
  const uint64_t privSector = image.privateHeaderSector ? image.privateHeaderSector : image.diskSectors - 1;
  const uint64_t dbStart = image.databaseStart ? image.databaseStart : privSector - 2048;

  std::vector<uint8_t> mbr(512);
  PutLE32(&mbr[440], kSignature);
  mbr[446 + 4] = 0x42;
  PutLE32(&mbr[446 + 8], image.base);
  PutLE32(&mbr[446 + 12], static_cast<uint32_t>(dbStart - image.base));
  PutLE16(&mbr[510], 0xAA55);

  // The private header: who the disk is, the public region (the 0x42 entry) and the private one
  // (the database). Copies go after the MBR and in the chosen sector.
  std::vector<uint8_t> priv(512);
  memcpy(priv.data(), "PRIVHEAD", 8);
  PutBE16(&priv[0x0C], 2);  // version 2.12
  PutBE16(&priv[0x0E], 12);
  for (auto [at, text, width] : {std::tuple{0x30, kDiskGuid, 64}, {0x70, kHostGuid, 64}, {0xB0, kGroupGuid, 64},
                                 {0xF0, kGroupName, 31}})
    Pad(&priv[at], text, width);
  for (auto [at, value] : {std::pair{0x10F, uint32_t{512}}, {0x14B, 1u} /* configs */, {0x14F, 1u} /* logs */,
                           {0x163, kSignature}})
    PutBE32(&priv[at], value);
  for (auto [at, value] : {std::pair{0x10, kStamp}, {0x18, kCommitted}, {0x20, privSector - dbStart},
                           {0x28, privSector - dbStart}, {0x11B, uint64_t{image.base}}, {0x123, dbStart - image.base},
                           {0x12B, dbStart}, {0x133, image.databaseSectors}, {0x13B, uint64_t{image.tocOffset / 512}},
                           {0x143, kSecondToc}, {0x153, kConfigSectors}, {0x15B, kLogSectors}})
    PutBE64(&priv[at], value);
  Checksum(priv.data());

  // Four copies of the table of contents, two after the chosen place and two at the end; entries of
  // 0x22 bytes (name, start, size, flags) for config and log.
  std::vector<uint8_t> db(2048 * 512);
  const uint64_t firstToc = image.tocOffset;
  for (uint64_t tocAt : {firstToc, firstToc + 512, (kSecondToc - 1) * 512, kSecondToc * 512}) {
    uint8_t* toc = &db[tocAt];
    memcpy(toc, "TOCBLOCK", 8);
    PutBE64(toc + 0x0C, kCommitted);
    uint8_t* config = toc + (image.configInSecondEntry ? 0x46 : 0x24);
    uint8_t* log = toc + (image.configInSecondEntry ? 0x24 : 0x46);
    for (auto [entry, name, start, size] : {std::tuple{config, "config", image.configStart, kConfigSectors},
                                            std::tuple{log, "log", kLogStart, kLogSectors}}) {
      Pad(entry, name, 10);
      PutBE64(entry + 10, start);
      PutBE64(entry + 18, size);
      PutBE16(entry + 26, 6);
      PutBE16(entry + 28, 1);
    }
    Checksum(toc);
  }

  // Records, sequence numbers from 4 (0-3 are the VMDB's own sector): volumes, components,
  // partitions, then the group and the disk.
  auto count = [](const auto& list, auto pred) { return static_cast<uint32_t>(std::count_if(list.begin(), list.end(), pred)); };
  std::vector<std::vector<uint8_t>> records;
  uint32_t sequence = 4, number = 0;
  for (const auto& v : image.volumes) {
    const auto ofVolume = [&](const LdmComponent& c) { return c.volumeId == v.id; };
    const auto first = std::find_if(image.components.begin(), image.components.end(), ofVolume);
    uint64_t size = 0;
    for (const auto& p : image.partitions)
      if (first != image.components.end() && p.componentId == first->id) size += p.count;
    records.push_back(Record(sequence++, 0x51, VolumeBody(v, ++number, count(image.components, ofVolume), size),
                             image.recordSize));
  }
  for (const auto& c : image.components) {
    const uint32_t children = count(image.partitions, [&](const LdmPartition& p) { return p.componentId == c.id; });
    records.push_back(Record(sequence++, 0x32, ComponentBody(c, children), image.recordSize));
  }
  for (size_t i = 0; i < image.partitions.size(); ++i) {
    uint64_t offset = 0;  // the partitions before it in its component
    for (size_t j = 0; j < i; ++j)
      if (image.partitions[j].componentId == image.partitions[i].componentId) offset += image.partitions[j].count;
    records.push_back(Record(sequence++, 0x33, PartitionBody(image.partitions[i], offset), image.recordSize));
  }
  records.push_back(Record(sequence++, 0x35, GroupBody(), image.recordSize));
  records.push_back(Record(sequence, 0x34, DiskBody(), image.recordSize));

  // The VMDB: the last sequence number (the walk's record count), record size and header length,
  // a consistent state, version 4.10, the group, equal committed and pending transactions and the
  // number of records of each kind.
  const uint64_t vmdb = image.configStart * 512;
  const uint64_t first = vmdb + image.firstOffset;
  if (vmdb + 512 <= db.size() && !image.omitVmdb) {
    uint8_t* h = &db[vmdb];
    memcpy(h, "VMDB", 4);
    PutBE32(h + 4, image.recordCount >= 0 ? static_cast<uint32_t>(image.recordCount) : sequence);
    PutBE32(h + 8, image.declaredRecordSize ? image.declaredRecordSize : image.recordSize);
    PutBE32(h + 12, image.declaredFirstOffset ? image.declaredFirstOffset : image.firstOffset);
    for (auto [at, value] : {std::pair{0x10, 1}, {0x12, 4}, {0x14, 10}}) PutBE16(h + at, static_cast<uint16_t>(value));
    Pad(h + 0x16, kGroupName, 31);
    Pad(h + 0x35, kGroupGuid, 64);
    PutBE64(h + 0x75, kCommitted);
    PutBE64(h + 0x7D, kCommitted);
    const uint32_t kinds[] = {static_cast<uint32_t>(image.volumes.size()), static_cast<uint32_t>(image.components.size()),
                              static_cast<uint32_t>(image.partitions.size()), 1};
    for (int k = 0; k < 4; ++k) {
      PutBE32(h + 0x85 + 4 * k, kinds[k]);
      PutBE32(h + 0xA1 + 4 * k, kinds[k]);
    }
    PutBE64(h + 0xBD, kStamp);
  }
  uint64_t at = first;
  for (const auto& r : records) {
    if (at + r.size() > db.size()) break;
    memcpy(&db[at], r.data(), r.size());
    at += image.recordSize ? image.recordSize : r.size();
  }

  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  auto put = [&](uint64_t sector, const std::vector<uint8_t>& bytes) {
    f.seekp(static_cast<std::streamoff>(sector * 512));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  put(0, mbr);
  put(6, priv);
  put(dbStart, db);
  put(privSector, priv);
  f.close();
  EXPECT_EQ(Run("truncate -s " + std::to_string(image.diskSectors * 512) + " " + Quote(path)), 0);
  return dbStart * 512 + first;
}

}  // namespace vmtest

#include "ldm_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

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

// A record: "VBLK", sequence, group, record 0 of 1, flags, type, body length, then the body.
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

std::vector<uint8_t> VolumeBody(const LdmVolume& v) {
  std::vector<uint8_t> b;
  Counted(b, v.id);
  Text(b, v.name);
  Text(b, "gen");
  Text(b, "");  // the one-byte field after the volume type
  std::string state = "ACTIVE";
  state.resize(14, '\0');
  b.insert(b.end(), state.begin(), state.end());
  b.push_back(3);  // volume type
  b.push_back(0);
  b.push_back(1);  // volume number
  b.insert(b.end(), 3, 0);
  b.push_back(0);  // flags
  Counted(b, 1);   // children
  Fixed(b, 0, 8);
  Fixed(b, 0, 8);
  Counted(b, 2048);  // size
  Fixed(b, 0, 4);
  b.push_back(v.partitionType);
  b.insert(b.end(), v.guid.begin(), v.guid.end());
  return b;
}

std::vector<uint8_t> ComponentBody(const LdmComponent& c) {
  std::vector<uint8_t> b;
  Counted(b, c.id);
  Text(b, c.name);
  Text(b, "ACTIVE");
  b.push_back(2);  // concatenated
  Fixed(b, 0, 4);
  Counted(b, 1);   // children
  Fixed(b, 0, 8);
  Fixed(b, 0, 8);
  Counted(b, c.volumeId);
  return b;
}

std::vector<uint8_t> PartitionBody(const LdmPartition& p) {
  std::vector<uint8_t> b;
  Counted(b, p.id);
  Text(b, p.name);
  Fixed(b, 0, 4);
  Fixed(b, 0, 8);
  Fixed(b, p.start, 8);
  Fixed(b, 0, 8);  // offset in the volume
  Counted(b, p.count);
  Counted(b, p.componentId);
  Counted(b, 1);   // disk
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
  PutLE32(&mbr[440], 0x4C444D31);
  mbr[446 + 4] = 0x42;
  PutLE32(&mbr[446 + 8], image.base);
  PutLE32(&mbr[446 + 12], static_cast<uint32_t>(dbStart - image.base));
  PutLE16(&mbr[510], 0xAA55);

  std::vector<uint8_t> priv(512);
  memcpy(priv.data(), "PRIVHEAD", 8);
  PutBE16(&priv[0x0C], 2);
  PutBE16(&priv[0x0E], 12);
  PutBE64(&priv[0x11B], image.base);
  PutBE64(&priv[0x123], dbStart - image.base);
  PutBE64(&priv[0x12B], dbStart);
  PutBE64(&priv[0x133], image.databaseSectors);

  std::vector<uint8_t> db(2048 * 512);
  uint8_t* toc = &db[image.tocOffset];
  memcpy(toc, "TOCBLOCK", 8);
  uint8_t* config = toc + (image.configInSecondEntry ? 0x46 : 0x24);
  uint8_t* other = toc + (image.configInSecondEntry ? 0x24 : 0x46);
  memcpy(config, "config", 6);
  PutBE64(config + 10, image.configStart);
  memcpy(other, "log", 3);
  PutBE64(other + 10, 1498);

  std::vector<std::vector<uint8_t>> records;
  uint32_t sequence = 1;
  for (const auto& v : image.volumes) records.push_back(Record(sequence++, 0x51, VolumeBody(v), image.recordSize));
  for (const auto& c : image.components) records.push_back(Record(sequence++, 0x32, ComponentBody(c), image.recordSize));
  for (const auto& p : image.partitions) records.push_back(Record(sequence++, 0x33, PartitionBody(p), image.recordSize));

  const uint64_t vmdb = image.configStart * 512;
  const uint64_t first = vmdb + image.firstOffset;
  if (vmdb + 16 <= db.size() && !image.omitVmdb) {
    memcpy(&db[vmdb], "VMDB", 4);
    PutBE32(&db[vmdb + 4], image.recordCount >= 0 ? static_cast<uint32_t>(image.recordCount)
                                                  : static_cast<uint32_t>(records.size()));
    PutBE32(&db[vmdb + 8], image.declaredRecordSize ? image.declaredRecordSize : image.recordSize);
    PutBE32(&db[vmdb + 12], image.declaredFirstOffset ? image.declaredFirstOffset : image.firstOffset);
  }
  uint64_t at = first;
  for (const auto& r : records) {
    if (at + r.size() > db.size()) break;
    memcpy(&db[at], r.data(), r.size());
    at += image.recordSize ? image.recordSize : r.size();
  }

  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(mbr.data()), 512);
  f.seekp(static_cast<std::streamoff>(dbStart * 512));
  f.write(reinterpret_cast<const char*>(db.data()), static_cast<std::streamsize>(db.size()));
  f.seekp(static_cast<std::streamoff>(privSector * 512));
  f.write(reinterpret_cast<const char*>(priv.data()), 512);
  f.close();
  EXPECT_EQ(Run("truncate -s " + std::to_string(image.diskSectors * 512) + " " + Quote(path)), 0);
  return dbStart * 512 + first;
}

}  // namespace vmtest

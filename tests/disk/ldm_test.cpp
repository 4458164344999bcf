// LDM discovery on databases written by the fixture builder, including hostile ones.
#include <gtest/gtest.h>

#include "ldm_builder.h"
#include "ldm_oracle.h"
#include "raw_test_disk.h"
#include "support/test_support.h"
#include "support/trace_capture.h"

using namespace vmtest;

namespace {

std::vector<Row> Discover(const std::string& path, const LdmImage& image, RawGeometry geometry = {}) {
  WriteLdmImage(path, image);
  ClearTrace();
  auto disk = OpenRaw(path, geometry);
  return Rows(disk.p);
}

bool ErrorTraced(const std::string& text) { return TraceContains("VMParseErrors", text); }

}  // namespace

TEST(LdmDatabase, PartitionsTakeTheirVolumesTypeAndGuid) {
  TempDir dir;
  LdmImage image = LdmImage::Simple({{1985, 2048}, {5000, 900}});
  image.volumes[1].partitionType = 0x0C;
  const auto rows = Discover(dir.file("d.raw"), image);
  ASSERT_EQ(rows.size(), 2u);
  // GUID stored 10 11 .. 1f -> Windows order: first three fields reversed.
  EXPECT_EQ(rows[0], (Row{0x07, 2048, 2048, "13121110" "1514" "1716" "18191a1b1c1d1e1f"}));
  EXPECT_EQ(rows[1].type, 0x0C);
  EXPECT_EQ(rows[1].first, 5063u);
  EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessLDMDisk Found a partition 0301 owned by component 0201."));
  EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessLDMDisk Found a component 0201 owned by volume 0101."));
  EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessLDMDisk Found a volume 0101 "));
  EXPECT_TRUE(RecentTrace("VMParseErrors").empty());
}

TEST(LdmDatabase, LaterLayoutsAndTheGeometryFallback) {
  TempDir dir;
  LdmImage image = LdmImage::Simple({{1985, 2048}});
  image.tocOffset = 1024;
  image.configInSecondEntry = true;
  EXPECT_EQ(Discover(dir.file("a.raw"), image).size(), 1u);

  // The last sector of the file is empty; the geometry's last sector (8 x 16 x 63 - 1) holds it.
  image.privateHeaderSector = 8 * 16 * 63 - 1;
  EXPECT_EQ(Discover(dir.file("b.raw"), image, RawGeometry{0, 8, 16, 63}).size(), 1u);
  EXPECT_TRUE(ErrorTraced("VirtualDisk::ProcessLDMDisk signature of last sector is not PRIVHEAD"));

  // A partition without its component keeps type 0x42 and a zero id; a count of 0 adds nothing.
  image = LdmImage::Simple({{1985, 2048}, {9, 0}});
  image.components.erase(image.components.begin());
  const auto rows = Discover(dir.file("c.raw"), image);
  EXPECT_EQ(rows, (std::vector<Row>{{0x42, 2048, 2048, std::string(32, '0')}}));
}

TEST(LdmDatabase, OnlyPartitionsOfThisDiskBecomeRows) {
  TempDir dir;
  // Every disk of a group carries the whole database; a partition of disk 9 starts at an
  // offset into disk 9's data area, which means nothing on this disk.
  LdmImage image = LdmImage::Simple({{1985, 2048}, {5000, 900}});
  image.partitions[0].diskId = 9;
  const auto rows = Discover(dir.file("g.raw"), image);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].first, 5063u);
  EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessLDMDisk partition 0301 lives on disk 0009, not on this disk (0002)."));

  // A private header whose disk id no disk record carries: nothing on the disk can be placed.
  const std::string path = dir.file("h.raw");
  WriteLdmImage(path, LdmImage::Simple({{1985, 2048}}));
  PokeBytes(path, (8192 - 1) * 512 + 0x30, {'0'});
  ClearTrace();
  EXPECT_TRUE(Rows(OpenRaw(path).p).empty());
  EXPECT_TRUE(ErrorTraced("VirtualDisk::ProcessLDMDisk no disk record carries this disk's id 0e1d5b2f-4c30-4d7e-8f90-1b2c3d4e5f60."));
}

TEST(LdmDatabase, HostileHeadersStopWithOneTrace) {
  TempDir dir;
  const std::string path = dir.file("h.raw");
  struct Case {
    const char* trace;
    void (*poke)(LdmImage&);
  } cases[] = {
      {"VirtualDisk::ProcessLDMDisk size of LDM configuration is not 1Mb.", [](LdmImage& i) { i.databaseSectors = 2047; }},
      {"VirtualDisk::ProcessLDMDisk read of configuration database failed c000000d",
       [](LdmImage& i) { i.databaseStart = 8000; }},
      {"VirtualDisk::ProcessLDMDisk signature of TOCBLOCK is wrong.", [](LdmImage& i) { i.tocOffset = 1536; }},
      {"VirtualDisk::ProcessLDMDisk config signature is not VMDB.", [](LdmImage& i) { i.omitVmdb = true; }},
      {"VirtualDisk::ProcessLDMDisk 1st VBLK is out of range.", [](LdmImage& i) { i.declaredFirstOffset = 0xFFFFFF00; }},
      {"VirtualDisk::ProcessLDMDisk 1st VBLK is out of range.", [](LdmImage& i) { i.configStart = 2047; i.firstOffset = 510; }},
      {"VirtualDisk::ProcessLDMDisk a VBLK signature is wrong.", [](LdmImage& i) { i.declaredFirstOffset = 64; }},
      {"VirtualDisk::ProcessLDMDisk VBLK size is 0.", [](LdmImage& i) { i.recordSize = 0; i.recordCount = 0xFFFFFFFF; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trace);
    LdmImage image = LdmImage::Simple({{1985, 2048}});
    c.poke(image);
    EXPECT_TRUE(Discover(path, image).empty());
    EXPECT_TRUE(ErrorTraced(c.trace));
  }
  // A VMDB whose config entry is past the database: no rows, no trace.
  LdmImage image = LdmImage::Simple({{1985, 2048}});
  image.configStart = 2048;
  EXPECT_TRUE(Discover(path, image).empty());
  EXPECT_TRUE(RecentTrace("VMParseErrors").empty());
}

TEST(LdmDatabase, HostileRecordsNeverLeaveTheBuffer) {
  TempDir dir;
  const std::string path = dir.file("r.raw");
  // A count near 2^32: the records written are used, then the walk stops at the buffer's end.
  LdmImage image = LdmImage::Simple({{1985, 2048}, {5000, 900}});
  image.recordCount = 0xFFFFFFF0;
  EXPECT_EQ(Discover(path, image).size(), 2u);
  EXPECT_TRUE(ErrorTraced("VirtualDisk::ProcessLDMDisk found VBLK outside of configuration database."));

  // Records placed so the last one crosses the end of the buffer.
  image = LdmImage::Simple({{1985, 2048}});
  image.configStart = 2040;
  image.recordSize = 1400;  // record 2 would end past 1 MB
  image.recordCount = 3;
  EXPECT_TRUE(Discover(path, image).empty());  // the partition record is the third
  EXPECT_TRUE(ErrorTraced("VirtualDisk::ProcessLDMDisk found VBLK outside of configuration database."));

  // Tiny overlapping records: nothing read past the buffer (the sanitizer watches).
  image = LdmImage::Simple({{1985, 2048}});
  image.declaredRecordSize = 1;
  image.recordCount = 0xFFFFFFFF;
  Discover(path, image);
  EXPECT_TRUE(ErrorTraced("found VBLK outside of configuration database.")) << RecentTrace("VMParseErrors").back();

  // Long names push members past byte 128; bad length bytes read as 0.
  image = LdmImage::Simple({{1985, 2048}, {5000, 900}});
  image.partitions[0].name = std::string(120, 'n');
  image.volumes[1].name = std::string(100, 'v');
  auto rows = Discover(path, image);
  EXPECT_EQ(rows, (std::vector<Row>{{0x42, 5063, 900, std::string(32, '0')}}));
  EXPECT_TRUE(ErrorTraced("VirtualDisk::GetVBlkMember fell off end of VBlk"));

  uint8_t five[] = {5, 1, 2, 3, 4, 5}, two[] = {2, 1, 2}, zero[] = {0};
  ClearTrace();
  EXPECT_EQ(VirtualDisk::CountedObject(five, sizeof(five)), 0u);
  EXPECT_EQ(VirtualDisk::CountedObject(zero, sizeof(zero)), 0u);
  EXPECT_EQ(VirtualDisk::CountedObject(two, sizeof(two)), 0x102u);
  EXPECT_EQ(VirtualDisk::CountedObject(two, 2), 0u);  // its bytes run past the buffer
  EXPECT_EQ(RecentTrace("VMParseErrors")[0], "VirtualDisk::CountedObject size = 5");
  EXPECT_EQ(RecentTrace("VMParseErrors")[1], "VirtualDisk::CountedObject size = 0");
}

TEST(LdmDatabase, AFullTableDropsFurtherRows) {
  TempDir dir;
  std::vector<std::pair<uint64_t, uint64_t>> parts;
  for (uint64_t i = 0; i < 300; ++i) parts.push_back({100 + i, 1});
  const auto rows = Discover(dir.file("f.raw"), LdmImage::Simple(parts));
  ASSERT_EQ(rows.size(), 252u);
  EXPECT_EQ(rows[251].first, 63u + 100 + 251);
  EXPECT_TRUE(ErrorTraced("partition table is full"));
}

TEST(LdmDatabase, LdmtoolReadsTheSamePartitions) {
  TempDir dir;
  const std::string path = dir.file("o.raw");
  // Two simple volumes and one spanning two partitions, in the first and the later layout.
  LdmImage image = LdmImage::Simple({{1985, 2048}, {5000, 900}});
  image.volumes.push_back({0x103, "Volume3", 0x07, {0xAB, 0xCD, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}});
  image.components.push_back({0x203, "Volume3-01", 0x103});
  image.partitions.push_back({0x303, "Disk1-03", 4100, 500, 0x203});
  image.partitions.push_back({0x304, "Disk1-04", 4700, 250, 0x203});
  for (bool later : {false, true}) {
    SCOPED_TRACE(later ? "TOCBLOCK at byte 1024" : "TOCBLOCK at byte 512");
    image.tocOffset = later ? 1024 : 512;
    image.configInSecondEntry = later;
    const auto rows = Discover(path, image);
    ASSERT_EQ(rows.size(), 4u);
    const auto expected = LdmtoolRows(path, 63);
    ASSERT_EQ(expected.size(), 4u) << "ldmtool does not read the builder's database";
    EXPECT_EQ(SortedWithoutType(rows), expected);
  }
}

// LDM discovery on databases written by the fixture builder, including hostile ones.
#include <gtest/gtest.h>

#include "ldm_builder.h"
#include "ldm_oracle.h"
#include "raw_test_disk.h"
#include "support/poke_table.h"
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
  // GUID stored 10 11 .. 1f -> Windows order: first three fields reversed.
  EXPECT_EQ(Discover(dir.file("d.raw"), image), (std::vector<Row>{{0x07, 2048, 2048, "13121110" "1514" "1716" "18191a1b1c1d1e1f"},
                                                                  {0x0C, 5063, 900, "2322212025242726" "28292a2b2c2d2e2f"}}));
  EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessLDMDisk Found a partition 0301 owned by component 0201."));
  EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessLDMDisk Found a component 0201 owned by volume 0101."));
  EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessLDMDisk Found a volume 0101 "));
  EXPECT_TRUE(RecentTrace("VMParseErrors").empty());
}

// Rows come only from whole partitions of this disk: a partition without its component keeps
// type 0x42 and a zero id, a count of 0 adds nothing, a partition of another disk is skipped.
TEST(LdmDatabase, OnlyPartitionsOfThisDiskBecomeRows) {
  TempDir dir;
  LdmImage image = LdmImage::Simple({{1985, 2048}, {9, 0}});
  image.components.erase(image.components.begin());
  EXPECT_EQ(Discover(dir.file("c.raw"), image), (std::vector<Row>{{0x42, 2048, 2048, std::string(32, '0')}}));

  // Every disk of a group carries the whole database; a partition of disk 9 starts at an
  // offset into disk 9's data area, which means nothing on this disk.
  image = LdmImage::Simple({{1985, 2048}, {5000, 900}});
  image.partitions[0].diskId = 9;
  EXPECT_EQ(Discover(dir.file("g.raw"), image), (std::vector<Row>{{0x07, 5063, 900, "2322212025242726" "28292a2b2c2d2e2f"}}));
  EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessLDMDisk partition 0301 lives on disk 0009, not on this disk (0002)."));

  // A private header whose disk id no disk record carries: nothing on the disk can be placed.
  const std::string path = dir.file("h.raw");
  WriteLdmImage(path, LdmImage::Simple({{1985, 2048}}));
  PokeBytes(path, (8192 - 1) * 512 + 0x30, {'0'});
  ClearTrace();
  EXPECT_TRUE(Rows(OpenRaw(path).p).empty());
  EXPECT_TRUE(ErrorTraced("VirtualDisk::ProcessLDMDisk no disk record carries this disk's id 0e1d5b2f-4c30-4d7e-8f90-1b2c3d4e5f60."));
}

// Each poke stops discovery with its trace line, or (records past the buffer, members past their
// record) uses only what lies inside; a VMDB past the database stops it too.
TEST(LdmDatabase, HostileHeadersAndRecords) {
  TempDir dir;
  constexpr uint32_t kNone = STATUS_DEVICE_NOT_PARTITIONED;  // what the plug-in reports of no partitions
  const char* kOutside = "VirtualDisk::ProcessLDMDisk found VBLK outside of configuration database.";
  const char* kFellOff = "VirtualDisk::GetVBlkMember fell off end of VBlk";
  using L = LdmImage&;
  ExpectPokes(LdmImage::Simple({{1985, 2048}}), {
      // The last sector of the file is empty; the geometry's last sector (8 x 16 x 63 - 1) holds it.
      {"header at the geometry's end", [](L i) { i.privateHeaderSector = 8 * 16 * 63 - 1; }, STATUS_SUCCESS,
       "VirtualDisk::ProcessLDMDisk signature of last sector is not PRIVHEAD"},
      {"database size", [](L i) { i.databaseSectors = 2047; }, kNone,
       "VirtualDisk::ProcessLDMDisk size of LDM configuration is not 1Mb."},
      {"database past the disk", [](L i) { i.databaseStart = 8000; }, kNone,
       "VirtualDisk::ProcessLDMDisk read of configuration database failed c000000d"},
      {"TOCBLOCK at byte 1536", [](L i) { i.tocOffset = 1536; }, kNone, "signature of TOCBLOCK is wrong."},
      {"no VMDB", [](L i) { i.omitVmdb = true; }, kNone, "VirtualDisk::ProcessLDMDisk config signature is not VMDB."},
      {"VMDB past the database", [](L i) { i.configStart = 2048; }, kNone, nullptr},
      {"first VBLK at the end", [](L i) { i.configStart = 2047; i.firstOffset = 510; }, kNone, "1st VBLK is out of range."},
      {"first VBLK misplaced", [](L i) { i.declaredFirstOffset = 64; }, kNone, "a VBLK signature is wrong."},
      {"record size 0", [](L i) { i.recordSize = 0; i.recordCount = 0xFFFFFFFF; }, kNone, "VBLK size is 0."},
      {"count near 2^32", [](L i) { i.recordCount = 0xFFFFFFF0; }, STATUS_SUCCESS, kOutside},
      {"last record crosses the end", [](L i) { i.configStart = 2040; i.recordSize = 1400; i.recordCount = 3; }, kNone,
       kOutside},  // the partition record is the third
      {"tiny overlapping records", [](L i) { i.declaredRecordSize = 1; i.recordCount = 0xFFFFFFFF; }, STATUS_SUCCESS,
       kOutside},
      {"long partition name", [](L i) { i.partitions[0].name = std::string(120, 'n'); }, kNone, kFellOff},
      {"long volume name", [](L i) { i.volumes[0].name = std::string(100, 'v'); }, STATUS_SUCCESS, kFellOff},
  }, [&](const LdmImage& image) {
    return Discover(dir.file("h.raw"), image, RawGeometry{0, 8, 16, 63}).empty() ? kNone : STATUS_SUCCESS;
  });
}

// Counted numbers: bad length bytes read as 0.
TEST(LdmDatabase, CountedObjectsStayInTheirBytes) {
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

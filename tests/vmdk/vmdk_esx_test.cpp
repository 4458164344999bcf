// ESX sparse (COWD) extents built by the fixture builder: reads through their tables, tables
// created on demand by writes, and damaged headers. (A child's grains filled from its parent are
// the sparse extents' shared code, which the hosted sparse write tests cover.)
#include <gtest/gtest.h>

#include "cowd_builder.h"
#include "support/poke_table.h"
#include "vmdk_fixtures.h"

using namespace vmdktest;

namespace {

constexpr uint32_t kGrain = 16;
constexpr uint32_t kPerTable = kGrain * kCowdEntriesPerTable;  // sectors one table covers
constexpr uint32_t kSectors = 3 * kPerTable;                   // 96 MiB
constexpr uint32_t kBad = STATUS_INVALID_IMAGE_FORMAT;

// Grain 0 with an MBR (one partition, by sfdisk) and data, one grain of table 0 and one of
// table 2; table 1 is absent.
CowdImage SampleImage(const TempDir& dir, std::vector<uint8_t>* expected) {
  CowdImage image;
  image.sectors = kSectors;
  image.grainSize = kGrain;
  MakeRaw(dir.file("mbr.raw"), uint64_t{kSectors} * 512, {{512, PatternBytes(512, 1)}});
  image.grains[0] = ReadBytes(dir.file("mbr.raw"), 0, kGrain * 512);
  image.grains[7] = PatternBytes(kGrain * 512, 2);
  image.grains[2 * kCowdEntriesPerTable + 5] = PatternBytes(kGrain * 512, 3);
  expected->assign(uint64_t{kSectors} * 512, 0);
  for (const auto& g : image.grains) memcpy(expected->data() + uint64_t{g.first} * kGrain * 512, g.second.data(), g.second.size());
  return image;
}

}  // namespace

TEST(VmdkEsx, ReadsAndCreatesTablesOnDemand) {
  TempDir dir;
  std::vector<uint8_t> expected;
  const std::vector<uint32_t> tables = BuildCowd(dir.file("disk-delta.vmdk"), SampleImage(dir, &expected));
  ASSERT_EQ(tables[1], 0u);
  WriteText(dir.file("disk.vmdk"),
                    TextDescriptor(0x1234, 0xffffffff, {"RW " + std::to_string(kSectors) + " VMFSSPARSE \"disk-delta.vmdk\""}));
  const std::string delta = dir.file("disk-delta.vmdk");
  const uint64_t sizeBefore = FileSize(delta);
  const std::vector<uint8_t> data = PatternBytes(3 * 512, 9);
  const uint32_t target = kPerTable + 5 * kGrain + 2;  // inside table 1, which does not exist
  {
    DiskRef disk;
    ASSERT_EQ(OpenImage(disk, dir.file("disk.vmdk"), false), STATUS_SUCCESS);
    EXPECT_EQ(disk->GetPartitionCount(), 1);
    EXPECT_EQ(FirstDifference(ReadWhole(disk.p, kSectors), expected), -1);
    EXPECT_EQ(FileSize(delta), sizeBefore);  // reading an area without a table creates nothing
    WriteBoth(disk.p, &expected, target, data);
    // One new table (32 sectors) and then one grain at the end of the file.
    EXPECT_EQ(FileSize(delta), sizeBefore + 32 * 512 + kGrain * 512);
    EXPECT_EQ(FirstDifference(ReadWhole(disk.p, kSectors), expected), -1);
    // A second write into the same table uses it; an existing grain is written in place.
    WriteBoth(disk.p, &expected, kPerTable + 100 * kGrain, data);
    WriteBoth(disk.p, &expected, kPerTable + 100 * kGrain, PatternBytes(kGrain * 512, 10));
    WriteBoth(disk.p, &expected, 7 * kGrain + 1, PatternBytes(2 * 512, 11));
    EXPECT_EQ(FileSize(delta), sizeBefore + 32 * 512 + 2 * kGrain * 512);
  }
  // The directory in the file names the new table, directly before its first grain.
  const uint32_t newTable = LoadLE32(ReadBytes(delta, kCowdDirectorySector * 512 + 4, 4).data());
  EXPECT_EQ(uint64_t{newTable} * 512, sizeBefore);
  DiskRef again;
  ASSERT_EQ(OpenImage(again, dir.file("disk.vmdk"), true), STATUS_SUCCESS);
  EXPECT_EQ(FirstDifference(ReadWhole(again.p, kSectors), expected), -1);
}

// Damaged COWD headers are refused with their reason; a grain entry past the end of the file
// fails that grain only; sectors past the tables are out of range.
TEST(VmdkEsx, HostileHeadersAndTables) {
  TempDir dir;
  std::vector<uint8_t> expected;
  const CowdImage image = SampleImage(dir, &expected);
  const std::string delta = dir.file("d-delta.vmdk"), desc = dir.file("d.vmdk");
  WriteText(desc, TextDescriptor(1, 0xffffffff, {"RW " + std::to_string(kSectors) + " VMFSSPARSE \"d-delta.vmdk\""}));
  const std::vector<uint32_t> tables = BuildCowd(delta, image);
  ExpectPokes(ReadAll(delta), {
      {"magic", SetLE(0, 0x44574F44, 4), kBad, "VMDKESXSparseExtent::VMDKESXSparseExtent header magicnumber is wrong"},
      {"grain size 0", SetLE(16, 0, 4), kBad, "grain size of 0 sectors is out of range"},
      {"directory in the header", SetLE(20, 3, 4), kBad, "grain directory at sector 3 overlaps the header"},
      {"2^30 tables", SetLE(24, 0x40000000, 4), kBad, "more than an extent of"},
  }, SaveAndOpen(delta, desc));
  DiskRef disk;
  BuildCowd(delta, image);
  PatchLE(delta, uint64_t{tables[0]} * 512 + 7 * 4, 0x00FFFFFF, 4);
  ASSERT_EQ(OpenImage(disk, desc, false), STATUS_SUCCESS);
  std::vector<uint8_t> buffer(kGrain * 512);
  EXPECT_EQ(disk->Read(7 * kGrain, kGrain, buffer.data()), STATUS_FILE_CORRUPT_ERROR);
  EXPECT_EQ(disk->Write(7 * kGrain, 1, buffer.data()), STATUS_FILE_CORRUPT_ERROR);
  EXPECT_EQ(disk->Read(6 * kGrain, kGrain, buffer.data()), STATUS_SUCCESS);
  disk.reset();
  // A descriptor that gives the extent more sectors than its tables cover: out of range.
  WriteText(desc, TextDescriptor(1, 0xffffffff, {"RW " + std::to_string(kSectors + 64) + " VMFSSPARSE \"d-delta.vmdk\""}));
  ASSERT_EQ(OpenImage(disk, desc, false), STATUS_SUCCESS);
  EXPECT_EQ(disk->Read(kSectors + 10, 4, buffer.data()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(disk->Write(kSectors + 10, 4, buffer.data()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(disk->Read(kSectors - 4, 4, buffer.data()), STATUS_SUCCESS);
}

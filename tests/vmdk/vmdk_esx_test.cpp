// ESX sparse (COWD) extents built by the fixture builder: reads through their tables, tables
// created on demand by writes, a COWD child over a qemu-made parent, and damaged headers.
#include <gtest/gtest.h>

#include "cowd_builder.h"
#include "platform/endian.h"
#include "vmdk_fixtures.h"

using namespace vmdktest;

namespace {

constexpr uint32_t kGrain = 16;
constexpr uint32_t kPerTable = kGrain * kCowdEntriesPerTable;  // sectors one table covers
constexpr uint32_t kSectors = 3 * kPerTable;                   // 96 MiB

// Sector 0 of a disk with one partition, as sfdisk writes it.
std::vector<uint8_t> MbrSector(const TempDir& dir) {
  const std::string raw = dir.file("mbr.raw");
  MakeRaw(raw, uint64_t{kSectors} * 512, {});
  return ReadBytes(raw, 0, 512);
}

// Grain 0 with the MBR, one grain of table 0 and one of table 2; table 1 is absent.
CowdImage SampleImage(const TempDir& dir, std::vector<uint8_t>* expected) {
  CowdImage image;
  image.sectors = kSectors;
  image.grainSize = kGrain;
  std::vector<uint8_t> g0 = MbrSector(dir);
  g0.resize(kGrain * 512, 0);
  const std::vector<uint8_t> pattern = PatternBytes(kGrain * 512, 1);
  memcpy(g0.data() + 512, pattern.data(), 512);
  image.grains[0] = g0;
  image.grains[7] = PatternBytes(kGrain * 512, 2);
  image.grains[2 * kCowdEntriesPerTable + 5] = PatternBytes(kGrain * 512, 3);
  expected->assign(uint64_t{kSectors} * 512, 0);
  for (const auto& g : image.grains) memcpy(expected->data() + uint64_t{g.first} * kGrain * 512, g.second.data(), g.second.size());
  return image;
}

void ExpectDiskEquals(vmpeek::VirtualDisk* disk, const std::vector<uint8_t>& expected) {
  std::vector<uint8_t> got(expected.size());
  ASSERT_EQ(disk->Read(0, static_cast<uint32_t>(expected.size() / 512), got.data()), STATUS_SUCCESS);
  EXPECT_EQ(FirstDifference(got, expected), -1) << "first differing byte";
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
    ExpectDiskEquals(disk.p, expected);
    EXPECT_EQ(FileSize(delta), sizeBefore);  // reading an area without a table creates nothing
    ASSERT_EQ(disk->Write(target, 3, data.data()), STATUS_SUCCESS);
    memcpy(expected.data() + uint64_t{target} * 512, data.data(), data.size());
    // One new table (32 sectors) and then one grain at the end of the file.
    EXPECT_EQ(FileSize(delta), sizeBefore + 32 * 512 + kGrain * 512);
    ExpectDiskEquals(disk.p, expected);
    // A second write into the same table uses it; an existing grain is written in place.
    ASSERT_EQ(disk->Write(kPerTable + 100 * kGrain, 3, data.data()), STATUS_SUCCESS);
    memcpy(expected.data() + uint64_t{kPerTable + 100 * kGrain} * 512, data.data(), data.size());
    std::vector<uint8_t> full = PatternBytes(kGrain * 512, 10);
    ASSERT_EQ(disk->Write(kPerTable + 100 * kGrain, kGrain, full.data()), STATUS_SUCCESS);
    memcpy(expected.data() + uint64_t{kPerTable + 100 * kGrain} * 512, full.data(), full.size());
    ASSERT_EQ(disk->Write(7 * kGrain + 1, 2, data.data()), STATUS_SUCCESS);
    memcpy(expected.data() + uint64_t{7 * kGrain + 1} * 512, data.data(), 1024);
    EXPECT_EQ(FileSize(delta), sizeBefore + 32 * 512 + 2 * kGrain * 512);
  }
  // The directory in the file names the new table, directly before its first grain.
  const uint32_t newTable = LoadLE32(ReadBytes(delta, kCowdDirectorySector * 512 + 4, 4).data());
  EXPECT_EQ(uint64_t{newTable} * 512, sizeBefore);
  DiskRef again;
  ASSERT_EQ(OpenImage(again, dir.file("disk.vmdk"), true), STATUS_SUCCESS);
  ExpectDiskEquals(again.p, expected);
}

// A COWD child over a qemu-made parent: holes read the parent's data, a partial write copies
// the rest of its grain from the parent.
TEST(VmdkEsx, ChildOverQemuParent) {
  TempDir dir;
  const std::string raw = dir.file("base.raw");
  MakeRaw(raw, uint64_t{kSectors} * 512, {{4096, PatternBytes(1 << 20, 4)}});
  RawToVmdk(raw, dir.file("base.vmdk"), "monolithicSparse");
  const int64_t at = FindInFile(dir.file("base.vmdk"), "CID=");
  ASSERT_GE(at, 0);
  const std::vector<uint8_t> cidText = ReadBytes(dir.file("base.vmdk"), at + 4, 8);
  const uint32_t cid = static_cast<uint32_t>(std::stoul(std::string(cidText.begin(), cidText.end()), nullptr, 16));
  CowdImage image;
  image.sectors = kSectors;
  BuildCowd(dir.file("child-delta.vmdk"), image);
  WriteText(dir.file("child.vmdk"),
                    TextDescriptor(0x77, cid, {"RW " + std::to_string(kSectors) + " VMFSSPARSE \"child-delta.vmdk\""},
                                   "base.vmdk"));
  std::vector<uint8_t> expected = ReadAll(raw);
  DiskRef disk;
  ASSERT_EQ(OpenImage(disk, dir.file("child.vmdk"), false), STATUS_SUCCESS);
  ExpectDiskEquals(disk.p, expected);
  const std::vector<uint8_t> data = PatternBytes(512, 5);
  ASSERT_EQ(disk->Write(20, 1, data.data()), STATUS_SUCCESS);
  memcpy(expected.data() + 20 * 512, data.data(), 512);
  ExpectDiskEquals(disk.p, expected);
  disk.reset();
  // The written grain holds the parent's neighbours in the child's own file.
  const std::vector<uint8_t> child = ReadAll(dir.file("child-delta.vmdk"));
  const std::vector<uint8_t> grain(expected.begin() + 16 * 512, expected.begin() + 32 * 512);
  EXPECT_EQ(std::vector<uint8_t>(child.end() - grain.size(), child.end()), grain);
}

// Damaged COWD files: each fails Open with 0xC000007B and its trace, or fails only the piece
// that cannot be read.
TEST(VmdkEsx, HostileHeadersAndTables) {
  TempDir dir;
  std::vector<uint8_t> expected;
  const CowdImage image = SampleImage(dir, &expected);
  const std::string delta = dir.file("d-delta.vmdk"), desc = dir.file("d.vmdk");
  WriteText(desc, TextDescriptor(1, 0xffffffff, {"RW " + std::to_string(kSectors) + " VMFSSPARSE \"d-delta.vmdk\""}));
  struct Poke {
    uint64_t offset;
    uint32_t value;
    const char* trace;
  } pokes[] = {
      {0, 0x44574F44, "VMDKESXSparseExtent::VMDKESXSparseExtent header magicnumber is wrong"},
      {16, 0, "grain size of 0 sectors is out of range"},
      {16, 1u << 17, "out of range"},
      {20, 0, "overlaps the header"},
      {24, 0x40000000, "more than an extent of"},
  };
  DiskRef disk;
  for (const Poke& p : pokes) {
    BuildCowd(delta, image);
    PatchLE(delta, p.offset, p.value, 4);
    ClearTrace();
    EXPECT_EQ(OpenImage(disk, desc, false), STATUS_INVALID_IMAGE_FORMAT) << p.trace;
    EXPECT_TRUE(TraceContains("VMParseErrors", p.trace)) << p.trace;
    EXPECT_TRUE(TraceContains("VMParseErrors", "VMDKVirtualDisk::ProcessDescriptorFile an extent is bad"));
  }
  // A grain entry past the end of the file fails that grain only.
  const std::vector<uint32_t> tables = BuildCowd(delta, image);
  PatchLE(delta, uint64_t{tables[0]} * 512 + 7 * 4, 0x00FFFFFF, 4);
  ASSERT_EQ(OpenImage(disk, desc, false), STATUS_SUCCESS);
  std::vector<uint8_t> buffer(kGrain * 512);
  EXPECT_EQ(disk->Read(7 * kGrain, kGrain, buffer.data()), STATUS_FILE_CORRUPT_ERROR);
  EXPECT_EQ(disk->Write(7 * kGrain, 1, buffer.data()), STATUS_FILE_CORRUPT_ERROR);
  EXPECT_EQ(disk->Read(6 * kGrain, kGrain, buffer.data()), STATUS_SUCCESS);
  disk.reset();
  // A descriptor that gives the extent more sectors than its tables cover: out of range.
  BuildCowd(delta, image);
  WriteText(desc, TextDescriptor(1, 0xffffffff, {"RW " + std::to_string(kSectors + 64) + " VMFSSPARSE \"d-delta.vmdk\""}));
  ASSERT_EQ(OpenImage(disk, desc, false), STATUS_SUCCESS);
  EXPECT_EQ(disk->Read(kSectors + 10, 4, buffer.data()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(disk->Write(kSectors + 10, 4, buffer.data()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(disk->Read(kSectors - 4, 4, buffer.data()), STATUS_SUCCESS);
}

// VirtualPartition: range checks, read-only refusal, geometry and the reference on its disk.
#include <gtest/gtest.h>

#include <cstring>

#include "raw_test_disk.h"

using namespace vmtest;

namespace {

// Partition 0: sectors 63..1062; partition 1: exactly 10 cylinders of 255 x 63 from sector 2048.
std::string MakeDisk(const TempDir& dir) {
  return SfdiskDisk(dir.file("p.raw"), 100 << 20,
                    "label: dos\nlabel-id: 0x01020304\nstart=63,size=1000,type=7\nstart=2048,size=160650,type=83\n");
}

}  // namespace

TEST(VirtualPartition, InfoGeometryAndLifetime) {
  TempDir dir;
  const std::string path = MakeDisk(dir);
  Ref<vmpeek::VirtualPartition> small, big;
  {
    auto disk = OpenRaw(path);
    ASSERT_EQ(disk->GetPartitionCount(), 2);
    ASSERT_EQ(disk->GetPartition(0, small.put()), STATUS_SUCCESS);
    ASSERT_EQ(disk->GetPartition(1, big.put()), STATUS_SUCCESS);
    EXPECT_EQ(disk->AddRef(), 4u);  // ours, plus one per partition
    disk->Release();
  }  // the partitions keep the disk alive
  uint8_t type = 0, id[16];
  uint64_t length = 0, first = 0;
  small->GetInfo(&type, &length, &first);
  small->GetUniqueId(id);
  EXPECT_EQ(std::make_tuple(type, length, first, Hex(id, 16)),
            std::make_tuple(uint8_t{7}, uint64_t{512000}, uint64_t{63}, std::string("04030201" "007e000000000000" "00000000")));
  EXPECT_EQ(small->IsReadOnly(), 1);

  EXPECT_EQ(GeometryOf(big.p), (Geometry{12, 512, 160650, 11, 255, 63}));  // an exact 10 cylinders: one more

  std::vector<uint8_t> buf(512);
  PokeBytes(path, (63 + 999) * 512, PatternBytes(512, 3));
  ASSERT_EQ(small->Read(999, 1, buf.data()), STATUS_SUCCESS);
  EXPECT_EQ(buf, PatternBytes(512, 3));
  EXPECT_EQ(small->AddRef(), 2u);
  small->Release();

  // No heads: no cylinders to give a partition, and a trace says why.
  auto flat = OpenRaw(path, RawGeometry{0, 7, 0, 63});
  Ref<vmpeek::VirtualPartition> part;
  ASSERT_EQ(flat->GetPartition(0, part.put()), STATUS_SUCCESS);
  ClearTrace();
  uint64_t cylinders = 5;
  part->GetGeometry(nullptr, nullptr, nullptr, &cylinders, nullptr, nullptr);
  EXPECT_EQ(cylinders, 0u);
  EXPECT_TRUE(TraceContains("VMParseErrors", "VirtualPartition::GetGeometry SectorsPerCylinder from parent disk is 0"));
}

TEST(VirtualPartition, RangeChecksComeBeforeTheDisk) {
  TempDir dir;
  const std::string path = MakeDisk(dir);
  std::vector<uint8_t> buf(4 * 512, 0xAB);
  {
    auto disk = OpenRaw(path, {}, 1);
    Ref<vmpeek::VirtualPartition> part;
    ASSERT_EQ(disk->GetPartition(0, part.put()), STATUS_SUCCESS);
    ClearTrace();
    const uint32_t before = disk->reads;
    EXPECT_EQ(part->Read(1000, 0, buf.data()), STATUS_SUCCESS);  // empty read at the end is passed on
    EXPECT_EQ(disk->reads, before + 1);
    EXPECT_EQ(part->Read(999, 2, buf.data()), STATUS_END_OF_FILE);
    EXPECT_EQ(part->Read(1001, 0, buf.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(part->Read(UINT64_MAX, 2, buf.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(part->Read(0, UINT32_MAX, buf.data()), STATUS_END_OF_FILE);
    EXPECT_EQ(disk->reads, before + 1);
    EXPECT_EQ(part->Write(5000, 1, buf.data()), STATUS_ACCESS_DENIED);  // read-only wins over range
    EXPECT_EQ(RecentTrace("VMParseErrors"),
              (std::vector<std::string>{
                  "VirtualPartition::Read read ends past end of partition start=999 count=2 length=1000.",
                  "VirtualPartition::Read read starts past end of partition start=1001 count=0 length=1000.",
                  "VirtualPartition::Read read starts past end of partition start=-1 count=2 length=1000.",
                  "VirtualPartition::Read read ends past end of partition start=0 count=-1 length=1000.",
                  "VirtualPartition::Write write to ReadOnly disk start=5000 count=1 length=1000."}));
  }
  {
    auto disk = OpenRaw(path, {}, 0);
    Ref<vmpeek::VirtualPartition> part;
    ASSERT_EQ(disk->GetPartition(0, part.put()), STATUS_SUCCESS);
    EXPECT_EQ(part->IsReadOnly(), 0);
    ClearTrace();
    EXPECT_EQ(part->Write(1001, 1, buf.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(part->Write(998, 4, buf.data()), STATUS_END_OF_FILE);
    EXPECT_EQ(RecentTrace("VMParseErrors"),
              (std::vector<std::string>{
                  "VirtualPartition  write starts past end of partition start=1001 count=1 length=1000.",
                  "VirtualPartition::Write write ends past end of partition start=998 count=4 length=1000."}));
    ASSERT_EQ(part->Write(998, 2, buf.data()), STATUS_SUCCESS);
  }
  std::vector<uint8_t> expected(4 * 512, 0);  // partition sectors 997..1000 (the last is past it)
  std::fill(expected.begin() + 512, expected.begin() + 3 * 512, 0xAB);
  EXPECT_EQ(ReadBytes(path, (63 + 997) * 512, 4 * 512), expected);
}

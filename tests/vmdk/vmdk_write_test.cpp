// Writes into sparse and flat extents, read back by qemu-img, which must also find the image
// consistent.
#include <gtest/gtest.h>

#include "vmdk_fixtures.h"

using namespace vmdktest;

namespace {

constexpr uint64_t kMiB = 1u << 20;
constexpr uint64_t kGiB = 1ull << 30;

void ExpectQemuSees(const std::string& vmdk, const std::vector<uint8_t>& expected, const std::string& raw) {
  Sh("qemu-img check -q " + Quote(vmdk));
  EXPECT_EQ(FirstDifference(ReadAll(QemuToRaw(vmdk, raw)), expected), -1) << "first differing byte";
}

// Every grain table the primary directory names equals its redundant copy.
void ExpectRedundantTablesAgree(const std::string& vmdk) {
  const std::vector<uint8_t> h = ReadBytes(vmdk, 0, 512);
  const uint64_t perTable = LoadLE32(&h[44]), span = LoadLE64(&h[20]) * perTable;
  const uint64_t tables = (LoadLE64(&h[12]) + span - 1) / span;
  const auto gd = ReadBytes(vmdk, LoadLE64(&h[56]) * 512, tables * 4), rgd = ReadBytes(vmdk, LoadLE64(&h[48]) * 512, tables * 4);
  for (uint64_t t = 0; t < tables; ++t)
    EXPECT_EQ(ReadBytes(vmdk, LoadLE32(&gd[t * 4]) * 512ull, perTable * 4),
              ReadBytes(vmdk, LoadLE32(&rgd[t * 4]) * 512ull, perTable * 4)) << "grain table " << t;
}

}  // namespace

// A base disk: part of a fresh grain, several whole fresh grains in one request, a grain that
// already holds data, and a request that spans allocated and fresh grains.
TEST(VmdkWrite, BaseSparseRoundTrip) {
  TempDir dir;
  const std::string raw = dir.file("src.raw"), vmdk = dir.file("disk.vmdk");
  MakeRaw(raw, 48 * kMiB, {{kMiB, PatternBytes(64 * 1024, 1)}});
  RawToVmdk(raw, vmdk, "monolithicSparse");
  std::vector<uint8_t> expected = ReadAll(raw);
  const uint64_t sizeBefore = FileSize(vmdk);
  {
    DiskRef disk;
    ASSERT_EQ(OpenImage(disk, vmdk, false), STATUS_SUCCESS);
    ASSERT_EQ(disk->IsReadOnly(), 0);
    WriteBoth(disk.p, &expected, 5000, PatternBytes(3 * 512, 2));            // inside a fresh grain
    WriteBoth(disk.p, &expected, 8192, PatternBytes(4 * 64 * 1024, 3));      // four whole fresh grains
    WriteBoth(disk.p, &expected, 2048 + 5, PatternBytes(7 * 512, 4));        // allocated grain
    WriteBoth(disk.p, &expected, 2048 + 100, PatternBytes(300 * 512, 5));    // allocated, then fresh
    WriteBoth(disk.p, &expected, 65536 - 8, PatternBytes(16 * 512, 6));      // across a table boundary
    // What was written reads back at once, through the same tables.
    std::vector<uint8_t> back(300 * 512);
    ASSERT_EQ(disk->Read(2048 + 100, 300, back.data()), STATUS_SUCCESS);
    EXPECT_EQ(0, memcmp(back.data(), expected.data() + (2048 + 100) * 512, back.size()));
  }
  EXPECT_GT(FileSize(vmdk), sizeBefore);
  EXPECT_EQ(FileSize(vmdk) % (64 * 1024), 0u);  // whole grains only
  ExpectQemuSees(vmdk, expected, dir.file("out.raw"));
  ExpectRedundantTablesAgree(vmdk);
  // Reopened, the disk reads what qemu reads.
  DiskRef again;
  ASSERT_EQ(OpenImage(again, vmdk, true), STATUS_SUCCESS);
  EXPECT_EQ(CompareWithRaw(again.p, dir.file("out.raw")), -1);
}

// A child over a parent with data: a fresh grain of the child is filled from the parent around
// the written sectors; the parent file does not change.
TEST(VmdkWrite, ChildCopiesGrainFromParent) {
  TempDir dir;
  const std::string raw = dir.file("src.raw"), base = dir.file("base.vmdk"), child = dir.file("child.vmdk");
  MakeRaw(raw, 48 * kMiB, {{kMiB, PatternBytes(2 * kMiB, 1)}, {47 * kMiB, PatternBytes(kMiB, 2)}});
  RawToVmdk(raw, base, "monolithicSparse");
  Sh("cd " + Quote(dir.path()) + " && qemu-img create -q -f vmdk -b base.vmdk -F vmdk child.vmdk");
  std::vector<uint8_t> expected = ReadAll(raw);
  const std::vector<uint8_t> parentBefore = ReadAll(base);
  {
    DiskRef disk;
    ASSERT_EQ(OpenImage(disk, child, false), STATUS_SUCCESS);
    WriteBoth(disk.p, &expected, 2048 + 17, PatternBytes(512, 3));                // one sector
    WriteBoth(disk.p, &expected, 2048 + 1000, PatternBytes(200 * 512, 4));        // two grains, partly
    WriteBoth(disk.p, &expected, 47 * 2048 + 128, PatternBytes(128 * 512, 5));    // one whole grain
    WriteBoth(disk.p, &expected, 2048 + 17, PatternBytes(2 * 512, 6));            // now allocated
    std::vector<uint8_t> grain(128 * 512);
    ASSERT_EQ(disk->Read(2048, 128, grain.data()), STATUS_SUCCESS);
    EXPECT_EQ(0, memcmp(grain.data(), expected.data() + 2048 * 512, grain.size()));
  }
  EXPECT_EQ(ReadAll(base), parentBefore);
  ExpectQemuSees(child, expected, dir.file("out.raw"));
}

// Writes across the extent boundaries of a split sparse disk and of a split flat disk.
TEST(VmdkWrite, SplitExtentsRoundTrip) {
  for (const char* subformat : {"twoGbMaxExtentSparse", "twoGbMaxExtentFlat"}) {
    TempDir dir;
    const std::string raw = dir.file("src.raw"), vmdk = dir.file("disk.vmdk");
    MakeRaw(raw, 4 * kGiB + 64 * kMiB, {});
    RawToVmdk(raw, vmdk, subformat);
    const uint64_t boundary = 2 * kGiB / 512;
    const std::vector<uint8_t> a = PatternBytes(300 * 512, 7), b = PatternBytes(40 * 512, 8);
    {
      DiskRef disk;
      ASSERT_EQ(OpenImage(disk, vmdk, false), STATUS_SUCCESS) << subformat;
      ASSERT_EQ(disk->Write(boundary - 100, 300, a.data()), STATUS_SUCCESS);
      ASSERT_EQ(disk->Write(2 * boundary - 20, 40, b.data()), STATUS_SUCCESS);
    }
    Sh("qemu-img check -q " + Quote(vmdk));
    const std::string out = QemuToRaw(vmdk, dir.file("out.raw"));
    ASSERT_EQ(FileSize(out), 4 * kGiB + 64 * kMiB);
    EXPECT_EQ(ReadBytes(out, (boundary - 100) * 512, a.size()), a) << subformat;
    EXPECT_EQ(ReadBytes(out, (2 * boundary - 20) * 512, b.size()), b) << subformat;
  }
}

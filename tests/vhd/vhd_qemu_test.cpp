// VHD images made by qemu-img/qemu-io, read and written through the library and checked
// against qemu-img's own view of them.
#include <gtest/gtest.h>

#include "vhd/vhd_test_util.h"

using namespace vhdtest;

TEST(VhdQemu, ReadsEveryByteOfFixedAndDynamicImages) {
  vmtest::ClearTrace();
  for (std::string options : {"subformat=dynamic,force_size=on", "subformat=dynamic", "subformat=fixed,force_size=on",
                              "subformat=fixed"}) {
    SCOPED_TRACE(options);
    TempDir dir;
    std::string img = MakeQemuImage(dir, "disk.vhd", options);
    auto expected = QemuRaw(img, "vpc");
    DiskRef d;
    ASSERT_EQ(OpenImage(d, img, true), 0);
    EXPECT_EQ(d->IsReadOnly(), 1);
    EXPECT_EQ(d->GetPartitionCount(), 2);
    EXPECT_EQ(d->IsSavedState(), 0);
    uint64_t size = 0;
    EXPECT_EQ(d->GetParentFileName(nullptr, &size), static_cast<NTSTATUS>(0xC0000225));
    uint64_t n = SectorCount(d.p);
    ASSERT_EQ(n * 512, expected.size());
    EXPECT_EQ(FirstDifference(ReadWhole(d.p), expected), -1);
    EXPECT_EQ(FirstDifference(ReadWhole(d.p, 4096 * 3), expected), -1);
    std::vector<uint8_t> sector(1024);
    EXPECT_EQ(d->Read(n - 1, 1, sector.data()), 0);
    EXPECT_EQ(d->Read(n - 1, 2, sector.data()), static_cast<NTSTATUS>(0xC000000D));
    EXPECT_EQ(d->Read(n, 1, sector.data()), static_cast<NTSTATUS>(0xC000000D));
    EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "VHDVirtualDisk::Read (" + std::to_string(n) + ",1) failed c000000d."));
  }
}

TEST(VhdQemu, WritesIntoDynamicImageReadBackByQemu) {
  TempDir dir;
  std::string img = MakeQemuImage(dir, "disk.vhd", "subformat=dynamic,force_size=on");
  auto expected = QemuRaw(img, "vpc");
  const uint64_t spb = 4096, blockBytes = 4097 * 512;
  struct W { uint64_t sector; uint32_t count; uint64_t growth; };
  const W writes[] = {
      {2048 + 10, 3, 0},                 // a block qemu already allocated
      {5 * spb + 7, 5, blockBytes},      // a fresh block
      {10 * spb - 3, 10, 2 * blockBytes},  // two fresh blocks at once
      {5 * spb + 100, 2, 0},             // the block allocated above
  };
  {
    DiskRef d;
    ASSERT_EQ(OpenImage(d, img, false), 0);
    ASSERT_EQ(d->IsReadOnly(), 0);
    uint32_t seed = 1;
    for (const W& w : writes) {
      uint64_t before = FileSize(img);
      WriteBoth(d.p, &expected, w.sector, vmtest::PatternBytes(w.count * 512, seed++));
      EXPECT_EQ(FileSize(img) - before, w.growth) << "write at " << w.sector;
    }
    std::vector<uint8_t> none(512);
    EXPECT_EQ(d->Write(0, 0, none.data()), static_cast<NTSTATUS>(0x80000022));
    EXPECT_EQ(FirstDifference(ReadWhole(d.p), expected), -1);
  }
  // Another tool reads exactly what was written, and the image is still one qemu accepts.
  EXPECT_EQ(FirstDifference(QemuRaw(img, "vpc"), expected), -1);
  EXPECT_EQ(vmtest::Run("qemu-img info " + Quote(img) + " >/dev/null"), 0);
  DiskRef again;
  ASSERT_EQ(OpenImage(again, img, true), 0);
  EXPECT_EQ(FirstDifference(ReadWhole(again.p), expected), -1);
}

TEST(VhdQemu, FixedImageWritesAndReadOnlyRefusal) {
  TempDir dir;
  std::string img = MakeQemuImage(dir, "fixed.vhd", "subformat=fixed,force_size=on");
  auto expected = QemuRaw(img, "vpc");
  uint64_t fileSize = FileSize(img);
  {
    DiskRef d;
    ASSERT_EQ(OpenImage(d, img, false), 0);
    auto data = vmtest::PatternBytes(7 * 512, 9);
    WriteBoth(d.p, &expected, 4093, data);
    uint64_t n = SectorCount(d.p);
    EXPECT_EQ(d->Write(n - 1, 2, data.data()), static_cast<NTSTATUS>(0xC000000D));
  }
  EXPECT_EQ(FileSize(img), fileSize);
  EXPECT_EQ(FirstDifference(QemuRaw(img, "vpc"), expected), -1);

  vmtest::ClearTrace();
  DiskRef ro;
  ASSERT_EQ(OpenImage(ro, img, true), 0);
  std::vector<uint8_t> data(512, 0xEE);
  EXPECT_EQ(ro->Write(3, 1, data.data()), static_cast<NTSTATUS>(0xC0000022));
  EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "VHDVirtualDisk::WRite (3,1) failed c0000022."));
  EXPECT_EQ(FirstDifference(QemuRaw(img, "vpc"), expected), -1);
}

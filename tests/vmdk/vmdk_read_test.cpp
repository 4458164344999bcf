// Every qemu-img VMDK subformat, and a qemu-made differencing chain, read byte for byte like
// qemu-img reads them.
#include <gtest/gtest.h>

#include "vmdk_fixtures.h"

using namespace vmdktest;

namespace {

constexpr uint64_t kMiB = 1u << 20;
constexpr uint64_t kGiB = 1ull << 30;

// Data that crosses grain (64 KiB) and table (32 MiB) boundaries, and lies in the MBR sector.
Pieces SmallDiskData() {
  return {{446 - 16, PatternBytes(16, 1)},
          {kMiB + 512 * 3, PatternBytes(200 * 1024, 2)},
          {32 * kMiB - 4096, PatternBytes(8192, 3)},
          {40 * kMiB - 512, PatternBytes(512, 4)}};
}

// Data near the 2 GiB extent boundaries of a disk above 4 GiB.
Pieces LargeDiskData() {
  return {{kMiB, PatternBytes(64 * 1024, 5)},
          {2 * kGiB - 3 * 512, PatternBytes(8 * 512, 6)},
          {4 * kGiB - 512, PatternBytes(4096, 7)},
          {4 * kGiB + 64 * kMiB - 1024, PatternBytes(1024, 8)}};
}

void ExpectReadsLikeQemu(const std::string& subformat, uint64_t bytes, const Pieces& pieces) {
  TempDir dir;
  const std::string raw = dir.file("src.raw"), vmdk = dir.file("disk.vmdk");
  MakeRaw(raw, bytes, pieces);
  RawToVmdk(raw, vmdk, subformat);
  const std::string check = QemuToRaw(vmdk, dir.file("check.raw"));
  DiskRef disk;
  ASSERT_EQ(OpenImage(disk, vmdk, true), STATUS_SUCCESS) << subformat;
  const Geometry g = GeometryOf(disk.p);
  const uint64_t sectors = bytes / 512;
  EXPECT_EQ(g, (Geometry{MEDIA_TYPE_FIXED, 512, sectors, g.cylinders, 16, 63}));
  EXPECT_GT(g.cylinders, 0u);
  EXPECT_EQ(disk->GetPartitionCount(), 1);
  EXPECT_EQ(disk->IsReadOnly(), 1);
  uint64_t size = 0;
  EXPECT_EQ(disk->GetParentFileName(nullptr, &size), STATUS_NOT_FOUND);
  EXPECT_EQ(CompareWithRaw(disk.p, check), -1) << subformat;
  // The same bytes as the source, also in one request across every extent boundary.
  for (const auto& piece : pieces) {
    const uint64_t first = piece.first / 512, last = (piece.first + piece.second.size() - 1) / 512;
    std::vector<uint8_t> got((last - first + 1) * 512);
    ASSERT_EQ(disk->Read(first, static_cast<uint32_t>(last - first + 1), got.data()), STATUS_SUCCESS);
    EXPECT_EQ(0, memcmp(got.data() + piece.first % 512, piece.second.data(), piece.second.size()));
  }
  // Bounds: the last sector reads, one past it does not; a zero count at the end is passed on.
  std::vector<uint8_t> two(1024);
  EXPECT_EQ(disk->Read(sectors - 1, 1, two.data()), STATUS_SUCCESS);
  EXPECT_EQ(disk->Read(sectors - 1, 2, two.data()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(disk->Read(sectors, 0, two.data()), (NTSTATUS)0x80000022);
}

}  // namespace

TEST(VmdkRead, MonolithicSparse) { ExpectReadsLikeQemu("monolithicSparse", 48 * kMiB, SmallDiskData()); }
TEST(VmdkRead, MonolithicFlat) { ExpectReadsLikeQemu("monolithicFlat", 48 * kMiB, SmallDiskData()); }
TEST(VmdkRead, TwoGbMaxExtentSparse) {
  ExpectReadsLikeQemu("twoGbMaxExtentSparse", 4 * kGiB + 64 * kMiB, LargeDiskData());
}
TEST(VmdkRead, TwoGbMaxExtentFlat) {
  ExpectReadsLikeQemu("twoGbMaxExtentFlat", 4 * kGiB + 64 * kMiB, LargeDiskData());
}

// A child made by qemu-img over a parent with data, changed with qemu-io: unallocated grains
// read from the parent, written ones from the child, also where a grain is partly written.
TEST(VmdkRead, ChildOverParent) {
  TempDir dir;
  const std::string raw = dir.file("base.raw"), base = dir.file("base.vmdk"), child = dir.file("child.vmdk");
  MakeRaw(raw, 48 * kMiB, SmallDiskData());
  RawToVmdk(raw, base, "monolithicSparse");
  Sh("cd " + Quote(dir.path()) + " && qemu-img create -q -f vmdk -b base.vmdk -F vmdk child.vmdk");
  Sh("qemu-io -f vmdk -c 'write -P 0xa5 1049088 4096' -c 'write -P 0x5a 33550336 70000' "
          "-c 'write -P 0x11 47M 1M' " + Quote(child));
  const std::vector<uint8_t> parentBefore = ReadAll(base);
  const std::string check = QemuToRaw(child, dir.file("child.raw"));
  {
    DiskRef disk;
    ASSERT_EQ(OpenImage(disk, child, false), STATUS_SUCCESS);
    EXPECT_EQ(disk->IsReadOnly(), 0);
    EXPECT_EQ(disk->GetPartitionCount(), 1);
    EXPECT_EQ(CompareWithRaw(disk.p, check), -1);
    // The parent's name comes back in full, with the size protocol.
    uint64_t size = 0;
    ASSERT_EQ(disk->GetParentFileName(nullptr, &size), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, NtPath(base).size() + 1);
    EXPECT_EQ(ParentName(disk.p), Utf16ToUtf8(NtPath(base)));
    // qemu's cylinders for 48 MiB, taken from the parent.
    EXPECT_EQ(GeometryOf(disk.p), (Geometry{MEDIA_TYPE_FIXED, 512, 48 * kMiB / 512, 97, 16, 63}));
  }
  EXPECT_EQ(ReadAll(base), parentBefore);  // opened read-only, never touched
}

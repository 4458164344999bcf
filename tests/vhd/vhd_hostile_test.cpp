// Damaged and hostile VHDs: each poke of one field ends with its status and trace line.
#include <gtest/gtest.h>


#include "support/poke_table.h"
#include "vhd/vhd_test_util.h"

using namespace vhdtest;

namespace {

constexpr uint64_t kSize = 16 << 20;
constexpr uint32_t kBad = 0xC000007B, kNoParent = 0xC000005A;
constexpr int64_t kFooter = -512, kHeader = 512, kTable = 1536;  // byte offsets in a dynamic image

VhdBuilder Base(const TempDir& dir, uint32_t type = 3) {
  VhdBuilder b(type, kSize);
  b.Write(0, SfdiskMbr(dir.path(), kSize, "start=2048, type=83\n"));
  b.Write(4096 + 3, vmtest::PatternBytes(512 * 2, 3));
  return b;
}

}  // namespace

TEST(VhdHostile, HeaderPokes) {
  TempDir dir;
  VhdBuilder base = Base(dir);
  ExpectPokes(base.Build(), {
      {"disk type 5", SetBE(kFooter + 60, 5, 4), kBad, "VHDVirtualDisk::Open disktype 5 is unsupported."},
      {"footer cookie", SetBE(kFooter, 'k', 1), kBad, "VHDVirtualDisk::Open no conectix signature in footer."},
      {"size not sectors", [](Bytes& v) { v.push_back(0); }, kBad, "is 0 or not a multiple of the sector size"},
      {"header cookie", SetBE(kHeader + 1, 'X', 1), kBad, "VHDVirtualDisk::OpenDynamic no cxparse signature in header"},
      {"block size 3 MiB", SetBE(kHeader + 32, 3 << 20, 4), kBad, "block size 3145728 is not a power of two"},
      {"block size 2 KiB", SetBE(kHeader + 32, 2048, 4), kBad, "block size 2048 is not a power of two"},
      {"table offset", SetBE(kHeader + 16, 1537, 8), kBad, "table offset 1537 is not a multiple of 512."},
      {"too few entries", SetBE(kHeader + 28, 7, 4), kBad, "32768 sectors need 8 blocks but the table has 7 entries."},
      {"table on the footer", [](Bytes& v) { PutBE64(&v[kHeader + 16], v.size() - 512); }, kBad,
       "does not fit before the footer"},
      {"no partitions", SetBE(kTable, 0xFFFFFFFF, 4), 0xC0000174, "VHDVirtualDisk::Open ProcessMBR found 0 partitions"},
      // The table is read as long as the disk's size needs, however many entries the header claims.
      {"2^27 entries", SetBE(kHeader + 28, 1u << 27, 4), 0, nullptr},
  }, SaveAndOpen(dir.file("hostile.vhd")));

  // A child of base (b.vhd) saved as c.vhd, and a.vhd, a child of c.vhd: the parent's id, the
  // locator's size and place, and locators that lead back into the chain.
  SaveImage(dir.file("b.vhd"), base.Build());
  VhdBuilder child(4, kSize);
  memcpy(child.parentUuid, base.uuid, 16);
  child.locators = {{0x57327275, u"c.vhd"}};
  SaveImage(dir.file("a.vhd"), child.Build());
  child.locators = {{0x57327275, u"b.vhd"}};
  const auto name = [](char first) { return [=](Bytes& v) { v[LoadBE64(&v[kHeader + 576 + 16])] = first; }; };
  ExpectPokes(child.Build(), {
      {"valid", [](Bytes&) {}, 0, "VHDVirtualDisk::FindParent trying parent"},
      {"parent id", [](Bytes& v) { v[kHeader + 40 + 7] ^= 1; }, kNoParent, "VHDVirtualDisk::FindParent GUIDs don't match."},
      {"locator names the image", name('c'), kNoParent, "c.vhd is already part of its own differencing chain."},
      {"locator names its child", name('a'), kNoParent, "a.vhd is already part of its own differencing chain."},
      {"locator of 9 sectors", SetBE(kHeader + 576 + 8, 9 * 512, 4), kNoParent,
       "VHDVirtualDisk::FindParent data for locator is too big (9 sectors)."},
      {"locator far away", SetBE(kHeader + 576 + 16, 1ull << 50, 8), 0xC000000D,
       "VHDVirtualDisk::FindParent failed to read locator from disk status=c000000d."},
  }, SaveAndOpen(dir.file("c.vhd")));
}

TEST(VhdHostile, TableEntriesOutsideTheFilesFailTheirRunsOnly) {
  TempDir dir;
  VhdBuilder b = Base(dir);
  b.Write(4096 * 2, std::vector<uint8_t>(512, 0x42));
  auto img = b.Build();
  // Block 1 now points past the end of the file, block 2 at the footer copy and header.
  PutBE32(img.data() + 1536 + 4, 0x10000000);
  PutBE32(img.data() + 1536 + 8, 1);
  std::string path = dir.file("bad.vhd");
  SaveImage(path, img);

  DiskRef d;
  ASSERT_EQ(OpenImage(d, path, false), 0);
  std::vector<uint8_t> buf(512 * 4096 * 3, 0xCC);
  // The request spans blocks 0-2: block 0 reads, block 1 fails, block 2 (inside the file) reads.
  EXPECT_EQ(d->Read(0, 4096 * 2 + 1, buf.data()), 0);
  ExpectOutcome([&] { return d->Read(4096, 8, buf.data()); }, 0xC0000032,
                "VHDVirtualDisk::ReadDynamic (4096,8) block 1 at sector 268435456 lies outside the image.");
  EXPECT_EQ(buf[0], 0);  // the failed run is zeroed, not left as it was
  // Writes: past the end, and onto the header, are refused; nothing grows or changes.
  EXPECT_EQ(d->Write(4096, 1, buf.data()), static_cast<NTSTATUS>(0xC0000032));
  EXPECT_EQ(d->Write(4096 * 2, 1, buf.data()), static_cast<NTSTATUS>(0xC0000032));
  d.reset();
  EXPECT_EQ(ReadAll(path), img);
}

TEST(VhdHostile, ShortFooterSavedStateAndUncheckedChecksum) {
  TempDir dir;
  VhdBuilder b = Base(dir);
  b.shortFooter = true;
  b.savedState = 1;
  auto img = b.Build();
  img[64] ^= 0xFF;  // footer copy checksum: never verified
  std::string path = dir.file("short.vhd");
  SaveImage(path, img);
  auto expected = b.Raw();
  {
    DiskRef d;
    ASSERT_EQ(OpenImage(d, path, false), 0);
    EXPECT_EQ(d->IsSavedState(), 1);
    EXPECT_EQ(FirstDifference(ReadWhole(d.p), expected), -1);
    WriteBoth(d.p, &expected, 4096 * 7 + 1, vmtest::PatternBytes(512, 4));
  }
  // The grown image keeps its 511-byte footer at byte 1 of the last sector.
  EXPECT_EQ(ReadBytes(path, img.size() + 4097 * 512 - 511, 512), Bytes(img.end() - 511, img.end()));
  DiskRef d;
  ASSERT_EQ(OpenImage(d, path, true), 0);
  EXPECT_EQ(FirstDifference(ReadWhole(d.p), expected), -1);
  d.reset();

  // Saved-state values other than 1 do not count.
  b.shortFooter = false;
  b.savedState = 2;
  SaveImage(path, b.Build());
  ASSERT_EQ(OpenImage(d, path, true), 0);
  EXPECT_EQ(d->IsSavedState(), 0);
}

TEST(VhdHostile, FixedFooterClaimingMoreThanTheFileHolds) {
  TempDir dir;
  VhdBuilder b = Base(dir, 2);
  auto img = b.Build();
  PutBE64(&img[img.size() + kFooter + 48], kSize * 2);  // the current size
  std::string path = dir.file("fixed.vhd");
  SaveImage(path, img);
  DiskRef d;
  ASSERT_EQ(OpenImage(d, path, false), 0);
  std::vector<uint8_t> buf(1024);
  EXPECT_EQ(d->Read(kSize / 512 - 1, 1, buf.data()), 0);
  EXPECT_EQ(d->Read(kSize / 512 - 1, 2, buf.data()), static_cast<NTSTATUS>(0xC000000D));
  ExpectOutcome([&] { return d->Write(kSize / 512, 1, buf.data()); }, 0xC000000D,
                "VHDVirtualDisk::WriteFixed (32768,1) failed c000000d.");
  d.reset();
  EXPECT_EQ(ReadAll(path), img);
}

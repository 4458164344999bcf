// Damaged and hostile VHDs: each poke of one field ends with its status and trace line.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "vhd/vhd_test_util.h"

using namespace vhdtest;

namespace {

constexpr uint64_t kSize = 16 << 20;

VhdBuilder Base(const TempDir& dir, uint32_t type = 3) {
  VhdBuilder b(type, kSize);
  b.Write(0, SfdiskMbr(dir.path(), kSize, "start=2048, type=83\n"));
  b.Write(4096 + 3, vmtest::PatternBytes(512 * 2, 3));
  return b;
}

uint8_t* Footer(std::vector<uint8_t>& img) { return img.data() + img.size() - 512; }
uint8_t* Header(std::vector<uint8_t>& img) { return img.data() + 512; }

}  // namespace

TEST(VhdHostile, RefusedAtOpen) {
  TempDir dir;
  const auto good = Base(dir).Build();
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> poke;
    uint32_t status;
    const char* trace;
  };
  const Case cases[] = {
      {"disk type 5", [](auto& v) { PutBE32(Footer(v) + 60, 5); }, 0xC000007B, "VHDVirtualDisk::Open disktype 5 is unsupported."},
      {"no cookie", [](auto& v) { Footer(v)[0] = 'k'; }, 0xC000007B, "VHDVirtualDisk::Open no conectix signature in footer."},
      {"size not sectors", [](auto& v) { v.push_back(0); }, 0xC000007B, "is 0 or not a multiple of the sector size"},
      {"header cookie", [](auto& v) { Header(v)[1] = 'X'; }, 0xC000007B, "VHDVirtualDisk::OpenDynamic no cxparse signature in header"},
      {"block size 3 MiB", [](auto& v) { PutBE32(Header(v) + 32, 3 << 20); }, 0xC000007B, "block size 3145728 is not a power of two"},
      {"block size 2 KiB", [](auto& v) { PutBE32(Header(v) + 32, 2048); }, 0xC000007B, "block size 2048 is not a power of two"},
      {"block size 0", [](auto& v) { PutBE32(Header(v) + 32, 0); }, 0xC000007B, "block size 0 is not a power of two"},
      {"block size 512 MiB", [](auto& v) { PutBE32(Header(v) + 32, 512u << 20); }, 0xC000007B, "block size 536870912 is not"},
      {"table offset", [](auto& v) { PutBE64(Header(v) + 16, 1537); }, 0xC000007B, "table offset 1537 is not a multiple of 512."},
      {"too few entries", [](auto& v) { PutBE32(Header(v) + 28, 7); }, 0xC000007B, "32768 sectors need 8 blocks but the table has 7 entries."},
      {"table offset far away", [](auto& v) { PutBE64(Header(v) + 16, 1ull << 40); }, 0xC000007B, "does not fit before the footer"},
      {"no partitions", [](auto& v) { v[1536 + 0] = v[1536 + 1] = v[1536 + 2] = v[1536 + 3] = 0xFF; }, 0xC0000174,
       "VHDVirtualDisk::Open ProcessMBR found 0 partitions"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto img = good;
    c.poke(img);
    std::string path = dir.file("hostile.vhd");
    SaveImage(path, img);
    vmtest::ClearTrace();
    DiskRef d;
    OpenImage(d, path, true);
    EXPECT_EQ(static_cast<uint32_t>(d.status), c.status);
    EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", c.trace));
  }
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
  const auto size = std::filesystem::file_size(path);

  DiskRef d;
  OpenImage(d, path, false);
  ASSERT_TRUE(d) << std::hex << d.status;
  std::vector<uint8_t> buf(512 * 4096 * 3, 0xCC);
  vmtest::ClearTrace();
  // The request spans blocks 0-2: block 0 reads, block 1 fails, block 2 (inside the file) reads.
  EXPECT_EQ(d->Read(0, 4096 * 2 + 1, buf.data()), 0);
  EXPECT_EQ(d->Read(4096, 8, buf.data()), static_cast<NTSTATUS>(0xC0000032));
  EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "VHDVirtualDisk::ReadDynamic (4096,8) block 1 at sector 268435456 lies outside the image."));
  EXPECT_EQ(buf[0], 0);  // the failed run is zeroed, not left as it was
  // Writes: past the end, and onto the header, are refused; nothing grows or changes.
  EXPECT_EQ(d->Write(4096, 1, buf.data()), static_cast<NTSTATUS>(0xC0000032));
  EXPECT_EQ(d->Write(4096 * 2, 1, buf.data()), static_cast<NTSTATUS>(0xC0000032));
  d.reset();
  EXPECT_EQ(std::filesystem::file_size(path), size);
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
    OpenImage(d, path, false);
    ASSERT_TRUE(d) << std::hex << d.status;
    EXPECT_EQ(d->IsSavedState(), 1);
    EXPECT_EQ(FirstDifference(ReadWhole(d.p), expected), -1);
    auto data = vmtest::PatternBytes(512, 4);
    ASSERT_EQ(d->Write(4096 * 7 + 1, 1, data.data()), 0);
    std::copy(data.begin(), data.end(), expected.begin() + (4096 * 7 + 1) * 512);
  }
  // The grown image keeps its 511-byte footer at byte 1 of the last sector.
  auto grown = ReadAll(path);
  ASSERT_EQ(grown.size(), img.size() + 4097 * 512);
  EXPECT_EQ(memcmp(grown.data() + grown.size() - 511, img.data() + img.size() - 511, 511), 0);
  DiskRef d;
  OpenImage(d, path, true);
  ASSERT_TRUE(d);
  EXPECT_EQ(FirstDifference(ReadWhole(d.p), expected), -1);
  d.reset();

  // Saved-state values other than 1 do not count.
  b.shortFooter = false;
  b.savedState = 2;
  SaveImage(path, b.Build());
  OpenImage(d, path, true);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->IsSavedState(), 0);
}

TEST(VhdHostile, FixedFooterClaimingMoreThanTheFileHolds) {
  TempDir dir;
  VhdBuilder b = Base(dir, 2);
  auto img = b.Build();
  PutBE64(Footer(img) + 48, kSize * 2);
  std::string path = dir.file("fixed.vhd");
  SaveImage(path, img);
  DiskRef d;
  OpenImage(d, path, false);
  ASSERT_TRUE(d) << std::hex << d.status;
  std::vector<uint8_t> buf(1024);
  EXPECT_EQ(d->Read(kSize / 512 - 1, 1, buf.data()), 0);
  vmtest::ClearTrace();
  EXPECT_EQ(d->Read(kSize / 512 - 1, 2, buf.data()), static_cast<NTSTATUS>(0xC000000D));
  EXPECT_EQ(d->Write(kSize / 512, 1, buf.data()), static_cast<NTSTATUS>(0xC000000D));
  EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "VHDVirtualDisk::WriteFixed (32768,1) failed c000000d."));
  d.reset();
  EXPECT_EQ(ReadAll(path), img);
}

TEST(VhdHostile, BadLocators) {
  TempDir dir;
  VhdBuilder base = Base(dir);
  SaveImage(dir.file("base.vhd"), base.Build());
  auto child = [&](std::function<void(std::vector<uint8_t>&)> poke) {
    VhdBuilder c(4, kSize);
    memcpy(c.parentUuid, base.uuid, 16);
    c.locators = {{0x57327275, u"base.vhd"}};
    auto img = c.Build();
    poke(img);
    SaveImage(dir.file("child.vhd"), img);
    vmtest::ClearTrace();
    DiskRef d;
    OpenImage(d, dir.file("child.vhd"), true);
    return d.status;
  };
  EXPECT_EQ(child([](auto&) {}), 0);
  EXPECT_EQ(child([](auto& v) { PutBE32(Header(v) + 576 + 8, 9 * 512); }), static_cast<NTSTATUS>(0xC000005A));
  EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "VHDVirtualDisk::FindParent data for locator is too big (9 sectors)."));
  EXPECT_EQ(child([](auto& v) { PutBE64(Header(v) + 576 + 16, 1ull << 50); }), static_cast<NTSTATUS>(0xC000000D));
  EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "VHDVirtualDisk::FindParent failed to read locator from disk status=c000000d."));
}

// The table is sized from the disk's size: a qemu-img dynamic image of 8 MiB whose header claims
// 2^27 entries, its footer moved to the end of a sparse file of 600 MiB, reads one table sector.
TEST(VhdHostile, TableSizedFromTheVirtualSize) {
  TempDir dir;
  const std::string raw = dir.file("raw"), img = dir.file("big.vhd");
  vmtest::SfdiskDisk(raw, 8 << 20, "start=2048, type=83\n");
  vmtest::Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " + vmtest::Quote(raw) + " " +
             vmtest::Quote(img));
  const uint64_t size = vmtest::FileSize(img);
  const std::vector<uint8_t> footer = vmtest::ReadBytes(img, size - 512, 512);
  std::vector<uint8_t> entries(4);
  PutBE32(entries.data(), 1u << 27);
  vmtest::PokeBytes(img, 512 + 28, entries);
  std::filesystem::resize_file(img, (600ull << 20) - 512);
  vmtest::PokeBytes(img, (600ull << 20) - 512, footer);
  vmtest::ClearTrace();
  DiskRef d;
  OpenImage(d, img, true);
  EXPECT_EQ(d.status, 0);
  EXPECT_TRUE(vmtest::TraceContains("VMParseDetails", "BAT is                   = 1 sectors long"));
  EXPECT_EQ(vmtest::CompareWithRaw(d.p, raw), -1);
}

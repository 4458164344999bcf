// Images split over .V01/.V02 files, and VHDFileSet growth and read-only rules on real files.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/nt_file.h"
#include "support/poke_table.h"
#include "vhd/vhd_file_set.h"
#include "vhd/vhd_test_util.h"

using namespace vhdtest;

namespace {

VhdBuilder SplitSource(const TempDir& dir) {
  VhdBuilder b(3, 16 << 20);
  b.Write(0, SfdiskMbr(dir.path(), 16 << 20, "start=2048, type=83\n"));
  b.Write(1, vmtest::PatternBytes(512 * 4200, 5));  // blocks 0 and 1
  b.Write(4096 * 6, vmtest::PatternBytes(512 * 4096, 6));
  return b;
}

}  // namespace

TEST(VhdFileSet, SplitImageReadsAndGrowsAcrossFiles) {
  TempDir dir;
  VhdBuilder b = SplitSource(dir);
  auto bytes = b.Build();
  // Files end in the middle of block 0, of block 1's bitmap neighbourhood and of the last block.
  std::string img = dir.file("split.vhd");
  SaveImage(img, bytes, {1000, 4097});
  auto expected = b.Raw();
  {
    DiskRef d;
    ASSERT_EQ(OpenImage(d, img, false), 0);
    EXPECT_EQ(FirstDifference(ReadWhole(d.p), expected), -1);
    // A new block lands at the end of the last file.
    uint64_t lastBefore = std::filesystem::file_size(ContinuationPath(img, 2));
    WriteBoth(d.p, &expected, 4096 * 3 + 4090, vmtest::PatternBytes(512 * 9, 7));  // blocks 3 and 4, both new
    EXPECT_EQ(std::filesystem::file_size(ContinuationPath(img, 2)) - lastBefore, 2 * 4097 * 512u);
    EXPECT_EQ(std::filesystem::file_size(img), 1000 * 512u);
  }
  DiskRef d;
  ASSERT_EQ(OpenImage(d, img, true), 0);
  EXPECT_EQ(FirstDifference(ReadWhole(d.p), expected), -1);
  d.reset();

  // Without .V01 the set is the main file alone, which holds no footer.
  std::filesystem::rename(ContinuationPath(img, 1), dir.file("aside"));
  ExpectOpen(img, 0xC000007B, "VHDVirtualDisk::Open no conectix signature in footer.");
  EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "split.V01) gave c0000034."));
}

TEST(VhdFileSet, ExtendCapsMultiFileSetsAndRefusesReadOnlyGrowth) {
  TempDir dir;
  std::string main = dir.file("D.vhd");  // new continuation files get upper-case names
  vmtest::WriteAll(main, std::vector<uint8_t>(512 * 8, 1));
  std::u16string nt = vmtest::NtPath(main);
  {
    // One file grows without limit.
    VHDFileSet set(nt.c_str());
    ASSERT_EQ(set.Open(0), 0);
    ASSERT_EQ(set.Extend(4097), 0);
    EXPECT_EQ(std::filesystem::file_size(main), 512 * 8 + 2097664u);
    EXPECT_EQ(set.FileCount(), 1u);
  }
  // Two files, the last holding 0x7FFFF0 sectors (sparse): 15 more fit, 17 go to .V02.
  vmtest::WriteAll(ContinuationPath(main, 1), {});
  std::filesystem::resize_file(ContinuationPath(main, 1), 0x7FFFF0ull * 512);
  {
    VHDFileSet set(nt.c_str());
    ASSERT_EQ(set.Open(0), 0);
    ASSERT_EQ(set.FileCount(), 2u);
    uint8_t tail[512];
    memset(tail, 0x7A, sizeof tail);
    ASSERT_EQ(set.Extend(32, tail), 0);
    EXPECT_EQ(set.FileCount(), 3u);
    EXPECT_EQ(std::filesystem::file_size(ContinuationPath(main, 1)), 0x7FFFFFull * 512);
    EXPECT_EQ(std::filesystem::file_size(ContinuationPath(main, 2)), 17 * 512u);
    uint8_t last[1024];
    ASSERT_EQ(set.Read(set.TotalSectors() - 1, 1, last), 0);
    EXPECT_EQ(memcmp(last, tail, 512), 0);
    // A sector beyond every file.
    EXPECT_EQ(set.Read(set.TotalSectors() - 1, 2, last), static_cast<NTSTATUS>(0xC000000D));
  }
  // A file that someone else holds without sharing writes makes the whole set read-only.
  HANDLE other = nullptr;
  std::u16string v02 = vmtest::NtPath(ContinuationPath(main, 2));
  ASSERT_EQ(ZwCreateFile(&other, 0x80100000, v02.c_str(), 0x240, 1, 1, 0x68), 0);
  {
    vmtest::ClearTrace();
    VHDFileSet set(nt.c_str());
    ASSERT_EQ(set.Open(0), 0);
    EXPECT_EQ(set.IsReadOnly(), 1);
    EXPECT_EQ(set.FileCount(), 3u);
    EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "D.V02) open for R/W failed c0000043."));
    uint8_t s[512] = {};
    EXPECT_EQ(set.Write(0, 0, s), 0);
    EXPECT_EQ(set.Write(0, 1, s), static_cast<NTSTATUS>(0xC0000022));
    EXPECT_EQ(set.Extend(1), static_cast<NTSTATUS>(0xC0000022));
  }
  ZwClose(other);
  // A main file of 1000 bytes is refused; a continuation file of 1000 bytes ends the search.
  vmtest::WriteAll(ContinuationPath(main, 2), std::vector<uint8_t>(1000));
  {
    VHDFileSet set(nt.c_str());
    ASSERT_EQ(set.Open(1), 0);
    EXPECT_EQ(set.FileCount(), 2u);
  }
  vmtest::WriteAll(main, std::vector<uint8_t>(1000));
  VHDFileSet set(nt.c_str());
  EXPECT_EQ(set.Open(1), static_cast<NTSTATUS>(0xC000007B));
}

// Continuation files are looked for in the base file's own folder: only the extension changes
// case, so /x/vm/d.vhd never binds /x/VM/D.V01.
TEST(VhdFileSet, ContinuationFilesStayInTheBaseFolder) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("vm"));
  std::filesystem::create_directories(dir.file("VM"));
  const std::string main = dir.file("vm/d.vhd");
  vmtest::WriteAll(main, std::vector<uint8_t>(512 * 4, 1));
  vmtest::WriteAll(dir.file("VM/D.V01"), std::vector<uint8_t>(512 * 4, 2));
  const std::u16string nt = vmtest::NtPath(main);
  {
    VHDFileSet set(nt.c_str());
    ASSERT_EQ(set.Open(1), 0);
    EXPECT_EQ(set.FileCount(), 1u);
  }
  // Beside the base file, any case of the continuation's name is found.
  vmtest::WriteAll(dir.file("vm/d.v01"), std::vector<uint8_t>(512 * 4, 3));
  VHDFileSet set(nt.c_str());
  ASSERT_EQ(set.Open(1), 0);
  EXPECT_EQ(set.FileCount(), 2u);
  uint8_t sector[512];
  ASSERT_EQ(set.Read(4, 1, sector), 0);
  EXPECT_EQ(sector[0], 3);
}

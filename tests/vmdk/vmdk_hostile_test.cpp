// Hostile and unusual descriptors and hosted sparse headers: each is refused with its exact
// status and trace, or handled without touching anything it should not.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/endian.h"

#include "vmdk_fixtures.h"

using namespace vmdktest;

namespace {

constexpr uint64_t kMiB = 1u << 20;

bool ErrorTraced(const std::string& needle) { return TraceContains("VMParseErrors", needle); }

// A 4 MiB flat extent with a partition, named `name` in dir.
void MakeFlat(const TempDir& dir, const std::string& name) { MakeRaw(dir.file(name), 4 * kMiB, {}); }

std::string FlatLine(const std::string& name, uint64_t sectors = 8192) {
  return "RW " + std::to_string(sectors) + " FLAT \"" + name + "\" 0";
}

}  // namespace

// Extent names that leave the descriptor's folder are refused before anything is opened.
TEST(VmdkHostile, ExtentNamesStayInTheFolder) {
  TempDir dir;
  MakeFlat(dir, "flat.img");
  DiskRef disk;
  for (const std::string name : {"../flat.img", "/etc/passwd", "sub/flat.img", "sub\\\\flat.img", "C:flat.img", ".."}) {
    WriteText(dir.file("d.vmdk"), TextDescriptor(1, 0xffffffff, {FlatLine(name)}));
    ClearTrace();
    EXPECT_EQ(OpenImage(disk, dir.file("d.vmdk"), false), STATUS_INVALID_IMAGE_FORMAT) << name;
    EXPECT_TRUE(ErrorTraced("does not name a file in the descriptor's folder")) << name;
  }
  WriteText(dir.file("d.vmdk"), TextDescriptor(1, 0xffffffff, {FlatLine("flat.img")}));
  EXPECT_EQ(OpenImage(disk, dir.file("d.vmdk"), false), STATUS_SUCCESS);
}

// The extent region, access words, unknown types and sizes of text descriptors.
TEST(VmdkHostile, DescriptorRegionsAndLines) {
  TempDir dir;
  MakeFlat(dir, "flat.img");
  const std::string path = dir.file("d.vmdk");
  DiskRef disk;
  uint64_t sectors = 0;
  // Database lines straight after the extents (no header line) end the region.
  WriteText(path, "# Disk DescriptorFile\nversion=1\nCID=1\nparentCID=ffffffff\n# Extent description\n" +
                              FlatLine("flat.img") + "\nddb.geometry.cylinders = \"8\"\nddb.geometry.heads = \"16\"\n"
                              "ddb.geometry.sectors = \"63\"\n");
  ASSERT_EQ(OpenImage(disk, path, false), STATUS_SUCCESS);
  disk->GetGeometry(nullptr, nullptr, &sectors, nullptr, nullptr, nullptr);
  EXPECT_EQ(sectors, 8192u);
  EXPECT_EQ(disk->IsReadOnly(), 0);
  // A comment among the extent lines, or RDONLY, makes the disk read-only.
  WriteText(path, TextDescriptor(1, 0xffffffff, {FlatLine("flat.img"), "# a comment"}));
  ASSERT_EQ(OpenImage(disk, path, false), STATUS_SUCCESS);
  EXPECT_EQ(disk->IsReadOnly(), 1);
  WriteText(path, TextDescriptor(1, 0xffffffff, {"RDONLY 8192 FLAT \"flat.img\" 0"}));
  ASSERT_EQ(OpenImage(disk, path, false), STATUS_SUCCESS);
  EXPECT_EQ(disk->IsReadOnly(), 1);
  // An unknown type counts its sectors but makes no extent: those sectors fail, never loop.
  WriteText(path, TextDescriptor(1, 0xffffffff, {"RW 100 ZERO", FlatLine("flat.img")}));
  ASSERT_EQ(OpenImage(disk, path, false), STATUS_SUCCESS);
  disk->GetGeometry(nullptr, nullptr, &sectors, nullptr, nullptr, nullptr);
  EXPECT_EQ(sectors, 8292u);
  std::vector<uint8_t> buffer(8 * 512);
  ClearTrace();
  EXPECT_EQ(disk->Read(8190, 4, buffer.data()), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(ErrorTraced("VMDKExtentSet::Read no extent holds sector 8192"));
  EXPECT_EQ(disk->Write(8290, 2, buffer.data()), STATUS_INVALID_PARAMETER);
  // A missing extent file, and a descriptor over 2048 bytes.
  WriteText(path, TextDescriptor(1, 0xffffffff, {FlatLine("flat.img"), FlatLine("gone.img")}));
  ClearTrace();
  EXPECT_EQ(OpenImage(disk, path, false), STATUS_INVALID_IMAGE_FORMAT);
  EXPECT_TRUE(ErrorTraced("VMDKVirtualDisk::ProcessDescriptorFile an extent is bad"));
  std::string text = TextDescriptor(1, 0xffffffff, {FlatLine("flat.img")});
  text += "#" + std::string(2048 - text.size() - 2, 'x') + "\n";
  WriteText(path, text);
  EXPECT_EQ(OpenImage(disk, path, false), STATUS_SUCCESS);
  WriteText(path, text + "\n");
  EXPECT_EQ(OpenImage(disk, path, false), STATUS_INVALID_IMAGE_FORMAT);
  // A lower-case signature is neither text nor sparse.
  WriteText(path, "# disk DescriptorFile\n");
  ClearTrace();
  EXPECT_EQ(OpenImage(disk, path, false), STATUS_INVALID_IMAGE_FORMAT);
  EXPECT_TRUE(ErrorTraced("file is neither SPARSE or text"));
}

// Parent chains: hexadecimal CIDs, mismatches, loops, depth, and absolute hints.
TEST(VmdkHostile, ParentChains) {
  TempDir dir;
  MakeFlat(dir, "flat.img");
  DiskRef disk;
  const std::string line = "RDONLY 8192 FLAT \"flat.img\" 0";
  WriteText(dir.file("base.vmdk"), TextDescriptor(0xfffffffe, 0xffffffff, {line}));
  // "parentCID=12" is hexadecimal: it matches a parent whose CID is 0x12, not 12.
  std::string child = TextDescriptor(5, 0, {line}, "base.vmdk");
  WriteText(dir.file("child.vmdk"), child);
  ClearTrace();
  EXPECT_EQ(OpenImage(disk, dir.file("child.vmdk"), true), STATUS_INVALID_OWNER);
  EXPECT_TRUE(ErrorTraced("parent creation failed because CIDs don't match"));
  WriteText(dir.file("p12.vmdk"), "# Disk DescriptorFile\nversion=1\nCID=12\nparentCID=ffffffff\n"
                                          "# Extent description\n" + line + "\nddb.geometry.cylinders = \"8\"\n"
                                          "ddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"63\"\n");
  WriteText(dir.file("c12.vmdk"), TextDescriptor(5, 0x12, {line}, "p12.vmdk"));
  EXPECT_EQ(OpenImage(disk, dir.file("c12.vmdk"), true), STATUS_SUCCESS);
  WriteText(dir.file("child.vmdk"), TextDescriptor(5, 0xfffffffe, {line}, "base.vmdk"));
  EXPECT_EQ(OpenImage(disk, dir.file("child.vmdk"), true), STATUS_SUCCESS);
  // A disk that names itself, or a pair that name each other.
  WriteText(dir.file("self.vmdk"), TextDescriptor(7, 7, {line}, "self.vmdk"));
  ClearTrace();
  EXPECT_EQ(OpenImage(disk, dir.file("self.vmdk"), true), STATUS_INVALID_OWNER);
  EXPECT_TRUE(ErrorTraced("is already part of this chain"));
  WriteText(dir.file("a.vmdk"), TextDescriptor(0xa, 0xb, {line}, "b.vmdk"));
  WriteText(dir.file("b.vmdk"), TextDescriptor(0xb, 0xa, {line}, "./a.vmdk"));
  EXPECT_EQ(OpenImage(disk, dir.file("a.vmdk"), true), STATUS_INVALID_OWNER);
  // 32 parents open; 33 do not.
  WriteText(dir.file("l0.vmdk"), TextDescriptor(100, 0xffffffff, {line}));
  for (int i = 1; i <= 33; ++i) {
    WriteText(dir.file("l" + std::to_string(i) + ".vmdk"),
                      TextDescriptor(100 + i, 100 + i - 1, {line}, "l" + std::to_string(i - 1) + ".vmdk"));
  }
  EXPECT_EQ(OpenImage(disk, dir.file("l32.vmdk"), true), STATUS_SUCCESS);
  ClearTrace();
  EXPECT_EQ(OpenImage(disk, dir.file("l33.vmdk"), true), STATUS_INVALID_OWNER);
  EXPECT_TRUE(ErrorTraced("parent chain is deeper than 32 disks"));
  // A Windows absolute hint: tried as given through the drive mapping, then by its bare name.
  WriteText(dir.file("win.vmdk"), TextDescriptor(9, 0xfffffffe, {line}, "Q:\\VMs\\base\\base.vmdk"));
  unsetenv("VMPEEK_DRIVE_Q");
  ASSERT_EQ(OpenImage(disk, dir.file("win.vmdk"), true), STATUS_SUCCESS);
  EXPECT_EQ(ParentName(disk.p), Utf16ToUtf8(NtPath(dir.file("base.vmdk"))));
  Sh("mkdir -p " + Quote(dir.file("q/VMs/base")) + " && cp " + Quote(dir.file("flat.img")) + " " +
          Quote(dir.file("q/VMs/base/flat.img")));
  WriteText(dir.file("q/VMs/base/base.vmdk"), TextDescriptor(0xfffffffe, 0xffffffff, {line}));
  setenv("VMPEEK_DRIVE_Q", dir.file("q").c_str(), 1);
  ASSERT_EQ(OpenImage(disk, dir.file("win.vmdk"), true), STATUS_SUCCESS);
  unsetenv("VMPEEK_DRIVE_Q");
  EXPECT_EQ(ParentName(disk.p), "\\??\\Q:\\VMs\\base\\base.vmdk");
}

// Hosted sparse headers that would be misread are refused with 0xC000007B and a reason.
TEST(VmdkHostile, HostedSparseHeaders) {
  TempDir dir;
  const std::string raw = dir.file("src.raw"), vmdk = dir.file("disk.vmdk");
  MakeRaw(raw, 48 * kMiB, {{kMiB, PatternBytes(kMiB, 1)}});
  RawToVmdk(raw, vmdk, "monolithicSparse");
  Sh("qemu-img convert -f raw -O vmdk -o subformat=streamOptimized " + Quote(raw) + " " + Quote(dir.file("s.vmdk")));
  DiskRef disk;
  ClearTrace();
  EXPECT_EQ(OpenImage(disk, dir.file("s.vmdk"), false), STATUS_INVALID_IMAGE_FORMAT);
  EXPECT_TRUE(ErrorTraced("stream-optimized VMDK is not supported yet"));
  struct Poke {
    uint64_t offset;
    uint64_t value;
    int width;
    const char* trace;
  } pokes[] = {
      {8, 0x10003, 4, "compressed grains"},
      {56, ~uint64_t{0}, 8, "grain directory at the end of the file"},
      {20, 0, 8, "grain size of 0 sectors is out of range"},
      {20, 1u << 17, 8, "grain size of 131072 sectors is out of range"},
      {44, 0, 4, "numGTEsPerGT of 0 is out of range"},
      {44, 1u << 17, 4, "numGTEsPerGT of 131072 is out of range"},
      {12, 0xFFFFFFFFull * 128, 8, "more than an extent of"},
      {0, 0x564D444C, 4, "VMDKVirtualDisk::GetDescriptorData file is neither SPARSE or text"},
  };
  const std::vector<uint8_t> original = ReadAll(vmdk);
  for (const Poke& p : pokes) {
    WriteAll(vmdk, original);
    if (p.width == 4) PatchLE(vmdk, p.offset, static_cast<uint32_t>(p.value), 4);
    else PatchLE(vmdk, p.offset, p.value, 8);
    ClearTrace();
    EXPECT_EQ(OpenImage(disk, vmdk, false), STATUS_INVALID_IMAGE_FORMAT) << p.trace;
    EXPECT_TRUE(ErrorTraced(p.trace)) << p.trace;
  }
  // A grain table entry past the end of the file fails that grain's reads; others still read.
  WriteAll(vmdk, original);
  const std::vector<uint8_t> header = ReadBytes(vmdk, 0, 512);
  for (int at : {48, 56}) {
    const uint64_t gd = LoadLE32(&header[at]);
    const uint64_t gt = LoadLE32(ReadBytes(vmdk, gd * 512, 4).data());
    PatchLE(vmdk, gt * 512 + 100 * 4, 0x7fffff00, 4);
  }
  ASSERT_EQ(OpenImage(disk, vmdk, false), STATUS_SUCCESS);
  std::vector<uint8_t> buffer(256 * 512);
  EXPECT_EQ(disk->Read(100 * 128 + 3, 2, buffer.data()), STATUS_FILE_CORRUPT_ERROR);
  EXPECT_EQ(disk->Read(2048, 256, buffer.data()), STATUS_SUCCESS);
  EXPECT_EQ(0, memcmp(buffer.data(), PatternBytes(kMiB, 1).data(), buffer.size()));
}

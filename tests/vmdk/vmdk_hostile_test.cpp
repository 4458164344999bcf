// Hostile and unusual descriptors and hosted sparse headers: each is refused with its exact
// status and trace, or handled without touching anything it should not.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/poke_table.h"
#include "vmdk_fixtures.h"

using namespace vmdktest;

namespace {

constexpr uint64_t kMiB = 1u << 20;
constexpr uint32_t kBad = STATUS_INVALID_IMAGE_FORMAT, kNoParent = STATUS_INVALID_OWNER;
constexpr const char* kOutside = "does not name a file in the descriptor's folder";
constexpr const char* kOwnExtent = "lists extents other than its own file";

std::string FlatLine(const std::string& name, uint64_t sectors = 8192) {
  return "RW " + std::to_string(sectors) + " FLAT \"" + name + "\" 0";
}

}  // namespace

// A child descriptor over a flat parent, poked: versions (ESXi writes 2 and 3), where the extent
// region ends, signature, size, type, extent names (never outside the descriptor's folder) and
// the parent's CID (hexadecimal).
TEST(VmdkHostile, Descriptors) {
  TempDir dir;
  MakeRaw(dir.file("flat.img"), 4 * kMiB, {});  // a flat extent with a partition
  WriteText(dir.file("base.vmdk"), TextDescriptor(0xfffffffe, 0xffffffff, {"RDONLY 8192 FLAT \"flat.img\" 0"}));
  const auto fill = [](std::string& t) { t += "#" + std::string(2048 - t.size() - 2, 'x') + "\n"; };
  ExpectPokes(TextDescriptor(5, 0xfffffffe, {FlatLine("flat.img")}, "base.vmdk"), {
      {"valid", [](std::string&) {}, 0, nullptr},
      {"version 2", Swap("version=1", "version=2"), 0, nullptr},
      {"version 3", Swap("version=1", "version=3"), 0, nullptr},
      {"version 4", Swap("version=1", "version=4"), kBad, "didn't find correct version"},
      {"database right after the extents", Swap("\n\n# The Disk Data Base \n#DDB\n\n", "\n"), 0, nullptr},
      {"lower-case signature", Swap("# Disk", "# disk"), kBad, "file is neither SPARSE or text"},
      {"2048 bytes", fill, 0, nullptr},
      {"2049 bytes", [=](std::string& t) { fill(t); t += "\n"; }, kBad, "descriptor is too big 2049"},
      {"stream-optimized", Swap("custom", "streamOptimized"), kBad, "stream-optimized VMDK is not supported yet"},
      {"missing extent", Swap("flat.img", "gone.img"), kBad, "VMDKVirtualDisk::ProcessDescriptorFile an extent is bad"},
      {"name with /", Swap("flat.img", "../flat.img"), kBad, kOutside},
      {"name with \\", Swap("flat.img", "sub\\\\flat.img"), kBad, kOutside},
      {"name with :", Swap("flat.img", "C:flat.img"), kBad, kOutside},
      {"name ..", Swap("flat.img", ".."), kBad, kOutside},
      {"parent CID", Swap("parentCID=fffffffe", "parentCID=00000000"), kNoParent, "because CIDs don't match"},
  }, SaveAndOpen<std::string>(dir.file("d.vmdk")));
}

// Access words and unknown extent types of text descriptors.
TEST(VmdkHostile, AccessWordsAndUnknownTypes) {
  TempDir dir;
  MakeRaw(dir.file("flat.img"), 4 * kMiB, {});  // a flat extent with a partition
  const std::string path = dir.file("d.vmdk");
  DiskRef disk;
  // A comment among the extent lines, or RDONLY, makes the disk read-only.
  for (const std::string& line : {FlatLine("flat.img") + "\n# a comment", std::string("RDONLY 8192 FLAT \"flat.img\" 0")}) {
    WriteText(path, TextDescriptor(1, 0xffffffff, {line}));
    ASSERT_EQ(OpenImage(disk, path, false), STATUS_SUCCESS);
    EXPECT_EQ(disk->IsReadOnly(), 1) << line;
  }
  // An unknown type counts its sectors but makes no extent: those sectors fail, never loop.
  WriteText(path, TextDescriptor(1, 0xffffffff, {"RW 100 ZERO", FlatLine("flat.img")}));
  ASSERT_EQ(OpenImage(disk, path, false), STATUS_SUCCESS);
  EXPECT_EQ(SectorCount(disk.p), 8292u);
  std::vector<uint8_t> buffer(8 * 512);
  ExpectOutcome([&] { return disk->Read(8190, 4, buffer.data()); }, STATUS_INVALID_PARAMETER,
                "VMDKExtentSet::Read no extent holds sector 8192");
  EXPECT_EQ(disk->Write(8290, 2, buffer.data()), STATUS_INVALID_PARAMETER);
}

// Parent chains: depth, and absolute hints. (Loops are refused by the hostile inputs.)
TEST(VmdkHostile, ParentChains) {
  TempDir dir;
  MakeRaw(dir.file("flat.img"), 4 * kMiB, {});  // a flat extent with a partition
  DiskRef disk;
  const std::string line = "RDONLY 8192 FLAT \"flat.img\" 0";
  WriteText(dir.file("base.vmdk"), TextDescriptor(0xfffffffe, 0xffffffff, {line}));
  // 32 parents open; 33 do not.
  for (int i = 0; i <= 33; ++i)
    WriteText(dir.file("l" + std::to_string(i) + ".vmdk"),
              TextDescriptor(100 + i, i ? 99 + i : 0xffffffff, {line}, i ? "l" + std::to_string(i - 1) + ".vmdk" : ""));
  ExpectOpen(dir.file("l32.vmdk"), STATUS_SUCCESS, nullptr);
  ExpectOpen(dir.file("l33.vmdk"), STATUS_INVALID_OWNER, "parent chain is deeper than 32 disks");
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

// Hosted sparse headers that would be misread are refused with their reason. (Grain entries
// past the file's end are the ESX tests' case: both kinds of extent share that check.)
TEST(VmdkHostile, HostedSparseHeaders) {
  TempDir dir;
  MakeRaw(dir.file("src.raw"), 8 * kMiB, {});
  RawToVmdk(dir.file("src.raw"), dir.file("disk.vmdk"), "monolithicSparse");
  ExpectPokes(ReadAll(dir.file("disk.vmdk")), {
      {"signature", SetLE(0, 0x564D444C, 4), kBad, "VMDKVirtualDisk::GetDescriptorData file is neither SPARSE or text"},
      {"grain markers", SetLE(8, 0x20003, 4), kBad, "has grain markers (stream-optimized)"},
      {"compressed grains", SetLE(8, 0x10003, 4), kBad, "has compressed grains"},
      {"directory at the end", SetLE(56, ~uint64_t{0}, 8), kBad, "grain directory at the end of the file"},
      {"grain size 0", SetLE(20, 0, 8), kBad, "grain size of 0 sectors is out of range"},
      {"no table entries", SetLE(44, 0, 4), kBad, "numGTEsPerGT of 0 is out of range"},
      // The embedded descriptor names the file itself as its one sparse extent.
      {"embedded flat extent", Swap<Bytes>("SPARSE \"disk.vmdk\"", "FLAT \"disk.vmdk\" 0"), kBad, kOwnExtent},
      {"embedded second extent", Swap<Bytes>("# The Disk Data Base", "RW 8 SPARSE \"x.vmdk\""), kBad, kOwnExtent},
  }, SaveAndOpen(dir.file("disk.vmdk")));
}

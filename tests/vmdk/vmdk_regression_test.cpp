// Defects found on real images: qemu-img (or another tool) writes the image, one named field is
// poked, and the status and trace line are checked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/poke_table.h"

#include "vmdk_fixtures.h"

using namespace vmdktest;

namespace {

constexpr uint64_t kMiB = 1u << 20;

// An 8 MiB monolithic sparse image with an MBR and `fill` in the grain at 1 MiB.
std::string MakeSparse(const TempDir& dir, const std::string& name, uint8_t fill) {
  MakeRaw(dir.file("raw"), 8 * kMiB, {{kMiB, std::vector<uint8_t>(64 * 1024, fill)}});
  RawToVmdk(dir.file("raw"), dir.file(name), "monolithicSparse");
  return dir.file(name);
}
uint64_t Field64(const std::string& path, uint64_t offset) { return LoadLE64(ReadBytes(path, offset, 8).data()); }
uint32_t Field32(const std::string& path, uint64_t offset) { return LoadLE32(ReadBytes(path, offset, 4).data()); }
std::string Data(const std::string& name) { return std::string(VMPEEK_SOURCE_DIR) + "/tests/data/vmdk/" + name; }

}  // namespace

// A renamed copy of a monolithic sparse file reads and writes itself, never the original, and
// opens alone. (Embedded descriptors that list other extents are the hostile tests' rows.)
TEST(VmdkRegression, EmbeddedDescriptorIsItsOwnExtent) {
  TempDir dir;
  const std::string original = MakeSparse(dir, "orig.vmdk", 0x11);
  const std::string copy = CopyFile(original, dir.file("evidence.vmdk"));
  const std::vector<uint8_t> before = ReadAll(original);
  DiskRef disk;
  ASSERT_EQ(OpenImage(disk, copy, false), STATUS_SUCCESS);
  const std::vector<uint8_t> data(512, 0x5A);
  ASSERT_EQ(disk->Write(2048, 1, data.data()), STATUS_SUCCESS);
  disk.reset();
  EXPECT_TRUE(ReadAll(original) == before);
  EXPECT_EQ(QemuRaw(copy, "vmdk")[2048 * 512], 0x5A);
  TempDir alone;
  ASSERT_EQ(OpenImage(disk, CopyFile(copy, alone.file("x.vmdk"))), STATUS_SUCCESS);
  // FreeBSD's mkimg names the extent "": the file itself, read as qemu-img reads it.
  const std::string bsd = dir.file("bsd.vmdk");
  Sh("gzip -dc " + Quote(Data("img-63x255-512-mbr.vmdk.gz")) + " > " + Quote(bsd));
  ASSERT_EQ(OpenImage(disk, bsd), STATUS_SUCCESS);
  EXPECT_EQ(CompareWithRaw(disk.p, QemuToRaw(bsd, dir.file("bsd.raw"), "vmdk")), -1);
}

// A grain table entry pointing at the grain directory: reads and writes of that grain are
// refused, and the directory keeps its bytes.
TEST(VmdkRegression, GrainsOverMetadataAreRefused) {
  TempDir dir;
  const std::string image = MakeSparse(dir, "m.vmdk", 0x22);
  const uint64_t gd = Field64(image, 56), rgd = Field64(image, 48);
  // Entry 16 of table 0 holds the grain of disk sector 2048 (grains of 128 sectors); both
  // copies of the table point it at the primary directory.
  for (uint64_t dirSector : {gd, rgd}) PatchLE(image, Field32(image, dirSector * 512) * 512ull + 16 * 4, gd, 4);
  const std::vector<uint8_t> directory = ReadBytes(image, gd * 512, 512);
  DiskRef disk;
  ASSERT_EQ(OpenImage(disk, image, false), STATUS_SUCCESS);
  std::vector<uint8_t> buffer(512, 0x77);
  ExpectOutcome([&] { return disk->Read(2048, 1, buffer.data()); }, STATUS_FILE_CORRUPT_ERROR,
                "overlaps the extent's header, descriptor, directories or tables");
  EXPECT_EQ(buffer, std::vector<uint8_t>(512, 0));
  buffer.assign(512, 0x77);
  EXPECT_EQ(disk->Write(2048 + 5, 1, buffer.data()), STATUS_FILE_CORRUPT_ERROR);
  disk.reset();
  EXPECT_EQ(ReadBytes(image, gd * 512, 512), directory);
}

// Tables are sized from the extent's sectors, never from the file's apparent size: a sparse
// file of gigabytes whose header claims 2^38 sectors is refused before anything is allocated.
TEST(VmdkRegression, TablesSizedFromTheVirtualSize) {
  TempDir dir;
  const std::string image = MakeSparse(dir, "big.vmdk", 0x33);
  PatchLE(image, 12, 1ull << 38, 8);
  std::filesystem::resize_file(image, 4ull << 30);
  ExpectOpen(image, STATUS_INVALID_IMAGE_FORMAT, "more than an extent of 16384 sectors needs");
  // The fuzzer's image qemu-img refuses ("L1 size too big") is refused too: its descriptor
  // lies far past the end of the file.
  Sh("bzip2 -dc " + Quote(Data("afl9.vmdk.bz2")) + " > " + Quote(dir.file("afl9.vmdk")));
  ExpectOpen(dir.file("afl9.vmdk"), STATUS_END_OF_FILE,
             "VMDKVirtualDisk::GetEmbeddedDescriptorData failed to read descriptor data c0000011");
}

// qemu-img writes 0 cylinders for disks under one cylinder (image.vmdk, 200 sectors, no partition
// table), which counts as one. (Descriptor versions are the hostile tests' rows.)
TEST(VmdkRegression, ZeroCylinders) {
  TempDir dir;
  const std::string image = CopyFile(Data("image.vmdk"), dir.file("image.vmdk"));
  VirtualDisk* raw = CreateVMDKVirtualDisk(NtPath(image).c_str());
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(raw->Open(1), STATUS_DEVICE_NOT_PARTITIONED);  // geometry read, then no partitions
  EXPECT_EQ(GeometryOf(raw), (Geometry{12, 512, 200, 1, 16, 63}));
  raw->Release();
}

// A child of two sparse extents over a shorter sparse parent, read in requests of several sizes
// against qemu-img's conversion of the same chain: runs of grains cross grain tables (32 MiB),
// the extent boundary (36 MiB) and the parent's end (50 MiB, past which the child reads zeros).
TEST(VmdkRegression, ChildReadsMatchQemuAcrossBoundaries) {
  TempDir dir;
  std::vector<uint8_t> pattern = PatternBytes(50 * kMiB - kMiB, 7);
  MakeRaw(dir.file("praw"), 50 * kMiB, {{kMiB, pattern}});
  RawToVmdk(dir.file("praw"), dir.file("parent.vmdk"), "monolithicSparse");
  struct Write {
    const char* extent;
    uint64_t offset, bytes;
  };
  const Write writes[] = {{"c1.vmdk", 31 * kMiB + 4096, 2 * kMiB}, {"c1.vmdk", 36 * kMiB - 65536, 65536},
                          {"c1.vmdk", 5 * kMiB, 64 * 1024 * 3}, {"c2.vmdk", 0, 3 * 65536},
                          {"c2.vmdk", 14 * kMiB - 3 * 65536, 5 * 65536}, {"c2.vmdk", 20 * kMiB, 65536}};
  Sh("cd " + Quote(dir.path()) + " && qemu-img create -q -f vmdk c1.vmdk 36M && qemu-img create -q -f vmdk c2.vmdk 24M");
  int seed = 40;
  for (const Write& w : writes)
    Sh("qemu-io -f vmdk -c 'write -P " + std::to_string(++seed) + " " + std::to_string(w.offset) + " " +
       std::to_string(w.bytes) + "' " + Quote(dir.file(w.extent)) + " >/dev/null");
  std::string text = TextDescriptor(0x1234, QemuCid(dir.file("parent.vmdk")),
                                    {"RW 73728 SPARSE \"c1.vmdk\"", "RW 49152 SPARSE \"c2.vmdk\""}, "parent.vmdk");
  text.replace(text.find("custom"), 6, "twoGbMaxExtentSparse");  // a type qemu-img reads
  WriteText(dir.file("child.vmdk"), text);
  const std::string raw = QemuToRaw(dir.file("child.vmdk"), dir.file("child.raw"), "vmdk");
  const std::vector<uint8_t> expected = ReadAll(raw);
  ASSERT_EQ(expected.size(), 60 * kMiB);
  DiskRef disk;
  ASSERT_EQ(OpenImage(disk, dir.file("child.vmdk")), STATUS_SUCCESS);
  // Large requests read the child's and the parent's shares side by side, on the helper thread
  // unless it is turned off.
  for (const char* helper : {"1", "0"}) {
    setenv("VMPEEK_HELPER_THREAD", helper, 1);
    for (uint32_t chunk : {13u, 128u, 777u, 4096u, 70000u}) {
      EXPECT_EQ(FirstDifference(ReadWhole(disk.p, chunk), expected), -1)
          << "requests of " << chunk << " sectors, VMPEEK_HELPER_THREAD=" << helper;
    }
  }
  unsetenv("VMPEEK_HELPER_THREAD");
}

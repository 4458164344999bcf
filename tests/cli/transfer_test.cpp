// vmpeek read and write: ranges of the disk and of a partition, inputs and refusals, checked
// against qemu-img on the same images.
#include <gtest/gtest.h>

#include "cli_util.h"
#include "vhd/vhd_builder.h"

using namespace clitest;

namespace {

std::vector<uint8_t> ReadOut(const std::string& args, const TempDir& dir) {
  Result r = Vmpeek("read " + args + " --output " + Quote(dir.file("out.bin")));
  EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
  return ReadAll(dir.file("out.bin"));
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, uint64_t sector, uint64_t count) {
  return std::vector<uint8_t>(bytes.begin() + sector * 512, bytes.begin() + (sector + count) * 512);
}

}  // namespace

TEST(CliRead, RangesOfTheDiskAndOfAPartition) {
  TempDir dir;
  const std::string disk = Quote(Samples() + "/vmware/sample.vmdk");
  const std::vector<uint8_t> expected = QemuRaw(Samples() + "/vmware/sample.vmdk");
  EXPECT_TRUE(ReadOut(disk, dir) == expected);  // 64 MiB: many requests
  // Standard output carries the same bytes.
  Result piped = Vmpeek("read " + disk + " --first 2040 --count 20");
  EXPECT_TRUE(std::vector<uint8_t>(piped.out.begin(), piped.out.end()) == Slice(expected, 2040, 20));
  // A partition counts its sectors from its own start; by default all of it is read.
  EXPECT_TRUE(ReadOut(disk + " --partition 1", dir) == Slice(expected, 53248, 32768));
  EXPECT_TRUE(ReadOut(disk + " --partition 2 --first 43000", dir) == Slice(expected, 88064 + 43000, 8));
  // Ranges a sector too long and unknown partitions are usage errors.
  for (const char* args : {" --first 131068 --count 5", " --partition 2 --first 43000 --count 9"})
    EXPECT_EQ(Vmpeek("read " + disk + args).status, 2) << args;
  ExpectExit(Vmpeek("read " + disk + " --partition 3"), 2, "no partition 3");
}

TEST(CliWrite, WrittenSectorsReadBackInQemu) {
  TempDir dir;
  const std::string vhd = CopyFile(Samples() + "/microsoft/sample.vhd", dir.file("sample.vhd"));
  const std::vector<uint8_t> data = PatternBytes((2 << 20) + 1024, 7);  // more than one 2 MiB request
  WriteAll(dir.file("data"), data);
  std::vector<uint8_t> expected = QemuRaw(vhd);
  // Into a partition from standard input, then into the whole disk from a named file.
  const std::tuple<std::string, std::string, uint64_t> writes[] = {  // options, standard input, first sector
      {" --partition 1 --first 100", dir.file("data"), 53248 + 100},
      {" --first 120000 --input " + Quote(dir.file("data")), "", 120000}};
  for (const auto& [options, input, sector] : writes) {
    Result r = Vmpeek("write " + Quote(vhd) + options, input);
    ASSERT_EQ(r.status, 0) << r.err;
    std::copy(data.begin(), data.end(), expected.begin() + sector * 512);
    EXPECT_TRUE(QemuRaw(vhd) == expected) << options;
  }

  // A trailing partial sector: a regular file is refused whole, a pipe keeps the whole sectors before it.
  WriteAll(dir.file("odd"), std::vector<uint8_t>(1000, 0x11));
  ExpectExit(Vmpeek("write " + Quote(vhd) + " --first 0 --input " + Quote(dir.file("odd"))), 1, "partial sector");
  EXPECT_TRUE(QemuRaw(vhd) == expected);
  Sh("cat " + Quote(dir.file("odd")) + " | " + Quote(std::string(VMPEEK_BUILD_DIR) + "/bin/vmpeek") + " write " +
     Quote(vhd) + " --first 0 2>/dev/null || test $? = 1");
  std::fill(expected.begin(), expected.begin() + 512, 0x11);
  EXPECT_TRUE(QemuRaw(vhd) == expected);
  // Raw images are read-only.
  Sh("mkfs.fat -C " + Quote(dir.file("f.img")) + " 1440 >/dev/null");
  ExpectExit(Vmpeek("write " + Quote(dir.file("f.img")) + " --first 0 --input " + Quote(dir.file("data"))), 1,
             "could not be opened for writing");
}

TEST(CliWrite, SavedStateNeedsForce) {
  TempDir dir;
  const std::string vhd = dir.file("d.vhd");
  Sh("qemu-img create -q -f vpc -o subformat=fixed " + Quote(vhd) + " 8M");
  // Set the footer's saved-state byte and make its checksum right again.
  std::vector<uint8_t> footer = ReadBytes(vhd, FileSize(vhd) - 512, 512);
  footer[84] = 1;
  PutBE32(&footer[64], vhdtest::VhdChecksum(footer.data(), 512, 64));
  PokeBytes(vhd, FileSize(vhd) - 512, footer);
  EXPECT_EQ(VmpeekJson("info " + Quote(vhd))["saved_state"], true);

  const std::vector<uint8_t> bytes = ReadAll(vhd);
  WriteAll(dir.file("one"), std::vector<uint8_t>(512, 0x77));
  const std::string write = "write " + Quote(vhd) + " --first 4096 --input " + Quote(dir.file("one"));
  for (const char* text : {"saved state", "--force"}) ExpectExit(Vmpeek(write), 1, text);
  EXPECT_TRUE(ReadAll(vhd) == bytes);  // not a byte changed
  ExpectExit(Vmpeek(write + " --force"), 0, "");
  EXPECT_TRUE(Slice(QemuRaw(vhd, "vpc"), 4096, 1) == std::vector<uint8_t>(512, 0x77));
}

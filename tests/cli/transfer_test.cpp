// vmpeek read and write, checked against qemu-img on the same images.
#include <gtest/gtest.h>

#include "cli_util.h"
#include "platform/endian.h"

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

TEST(CliRead, EverySampleDiskMatchesQemu) {
  TempDir dir;
  const std::string s = Samples();
  for (const char* disk : {"/vmware/sample.vmdk", "/vmware/sample-base.vmdk", "/microsoft/sample.vhd"}) {
    std::vector<uint8_t> expected = QemuRaw(s + disk);
    EXPECT_TRUE(ReadOut(Quote(s + disk), dir) == expected) << disk;
    // Standard output carries the same bytes.
    Result piped = Vmpeek("read " + Quote(s + disk) + " --first 2040 --count 20");
    EXPECT_TRUE(std::vector<uint8_t>(piped.out.begin(), piped.out.end()) == Slice(expected, 2040, 20)) << disk;
    // A partition counts its sectors from its own start; by default all of it is read.
    EXPECT_TRUE(ReadOut(Quote(s + disk) + " --partition 1", dir) == Slice(expected, 53248, 32768)) << disk;
    EXPECT_TRUE(ReadOut(Quote(s + disk) + " --partition 2 --first 43000", dir) == Slice(expected, 88064 + 43000, 8));
  }
  // Ranges past the end and unknown partitions are usage errors; nothing is written.
  EXPECT_EQ(Vmpeek("read " + Quote(s + "/microsoft/sample.vhd") + " --first 131100 --count 5").status, 2);
  Result r = Vmpeek("read " + Quote(s + "/microsoft/sample.vhd") + " --partition 3");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no partition 3"), std::string::npos) << r.err;
}

TEST(CliWrite, WrittenSectorsReadBackInQemu) {
  TempDir dir;
  Sh("cp " + Quote(Samples()) + "/vmware/*.vmdk " + Quote(Samples()) + "/microsoft/sample.vhd " + Quote(dir.path()));
  std::vector<uint8_t> data = vmtest::PatternBytes(3 * 65536 + 1024, 7);  // spans fresh grains and blocks
  vmtest::WriteAll(dir.file("data"), data);
  std::vector<uint8_t> baseBefore = QemuRaw(dir.file("sample-base.vmdk"));
  for (const char* disk : {"sample.vmdk", "sample.vhd"}) {
    std::vector<uint8_t> expected = QemuRaw(dir.file(disk));
    Result r = Vmpeek("write " + Quote(dir.file(disk)) + " --partition 1 --first 100", dir.file("data"));
    ASSERT_EQ(r.status, 0) << r.err;
    std::copy(data.begin(), data.end(), expected.begin() + (53248 + 100) * 512);
    EXPECT_TRUE(QemuRaw(dir.file(disk)) == expected) << disk;
    // Whole disk, from a named file.
    r = Vmpeek("write " + Quote(dir.file(disk)) + " --first 130000 --input " + Quote(dir.file("data")));
    ASSERT_EQ(r.status, 0) << r.err;
    std::copy(data.begin(), data.end(), expected.begin() + 130000 * 512);
    EXPECT_TRUE(QemuRaw(dir.file(disk)) == expected) << disk;
  }
  EXPECT_TRUE(QemuRaw(dir.file("sample-base.vmdk")) == baseBefore);  // a child's writes stay in the child

  // A trailing partial sector: a regular file is refused whole, a pipe keeps the whole sectors before it.
  std::vector<uint8_t> before = QemuRaw(dir.file("sample.vhd"));
  vmtest::WriteAll(dir.file("odd"), std::vector<uint8_t>(1000, 0x11));
  Result r = Vmpeek("write " + Quote(dir.file("sample.vhd")) + " --first 0 --input " + Quote(dir.file("odd")));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("partial sector"), std::string::npos) << r.err;
  EXPECT_TRUE(QemuRaw(dir.file("sample.vhd")) == before);
  Sh("cat " + Quote(dir.file("odd")) + " | " + Quote(std::string(VMPEEK_BUILD_DIR) + "/bin/vmpeek") + " write " +
     Quote(dir.file("sample.vhd")) + " --first 0 2>" + Quote(dir.file("err")) + " || test $? = 1");
  std::fill(before.begin(), before.begin() + 512, 0x11);
  EXPECT_TRUE(QemuRaw(dir.file("sample.vhd")) == before);
  // Raw images are read-only.
  Sh("mkfs.fat -C " + Quote(dir.file("f.img")) + " 1440 >/dev/null");
  r = Vmpeek("write " + Quote(dir.file("f.img")) + " --first 0 --input " + Quote(dir.file("data")));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("could not be opened for writing"), std::string::npos) << r.err;
}

TEST(CliWrite, SavedStateNeedsForce) {
  TempDir dir;
  std::string raw = dir.file("d.raw"), vhd = dir.file("d.vhd");
  Sh("truncate -s 8M " + Quote(raw) + " && echo 'start=2048,type=7' | sfdisk -q " + Quote(raw));
  Sh("qemu-img convert -q -f raw -O vpc -o subformat=fixed " + Quote(raw) + " " + Quote(vhd));
  // Set the footer's saved-state byte and make its checksum right again.
  std::vector<uint8_t> bytes = ReadAll(vhd);
  uint8_t* footer = bytes.data() + bytes.size() - 512;
  footer[84] = 1;
  StoreBE32(footer + 64, 0);
  uint32_t sum = 0;
  for (int i = 0; i < 512; ++i) sum += footer[i];
  StoreBE32(footer + 64, ~sum);
  vmtest::WriteAll(vhd, bytes);
  EXPECT_EQ(VmpeekJson("info " + Quote(vhd))["saved_state"], true);

  vmtest::WriteAll(dir.file("one"), std::vector<uint8_t>(512, 0x77));
  Result r = Vmpeek("write " + Quote(vhd) + " --first 4096 --input " + Quote(dir.file("one")));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("saved state"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadAll(vhd) == bytes);  // not a byte changed
  r = Vmpeek("write " + Quote(vhd) + " --first 4096 --force --input " + Quote(dir.file("one")));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Slice(QemuRaw(vhd, "vpc"), 4096, 1) == std::vector<uint8_t>(512, 0x77));
}

// Disks without a partition table, chains over them, partitions that run past the disk's end and
// a final flush that fails: what vmpeek info, read, chain and write make of them.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli_util.h"

using namespace clitest;

TEST(CliWholeDisk, BlankDisksAreDescribedAndRead) {
  TempDir dir;
  Sh("bzcat " + Quote(std::string(VMPEEK_SOURCE_DIR) + "/tests/data/images/hyperv2012r2-dynamic.vhd.bz2") + " > " +
     Quote(dir.file("hyperv.vhd")));
  Sh("qemu-img create -q -f vpc -o subformat=dynamic " + Quote(dir.file("blank.vhd")) + " 8M");
  Sh("qemu-img create -q -f vmdk " + Quote(dir.file("base.vmdk")) + " 8M");
  Sh("qemu-img create -q -f vmdk -b " + Quote(dir.file("base.vmdk")) + " -F vmdk " + Quote(dir.file("child.vmdk")));
  for (const char* name : {"hyperv.vhd", "blank.vhd", "child.vmdk"}) {
    SCOPED_TRACE(name);
    const std::string image = dir.file(name);
    nlohmann::json info = VmpeekJson("info " + Quote(image));
    EXPECT_EQ(info["partitions"], nlohmann::json::array());
    EXPECT_EQ(info["scheme"], "none");
    Result read = Vmpeek("read " + Quote(image) + " --first 16 --count 8");
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out, std::string(8 * 512, '\0'));
  }
  // The chain is the library's: the base, which has no partitions either, is never reopened alone.
  nlohmann::json chain = VmpeekJson("chain " + Quote(dir.file("child.vmdk")));
  ASSERT_EQ(chain["chain"].size(), 2u);
  EXPECT_EQ(chain["chain"][1]["path"], dir.file("base.vmdk"));
  EXPECT_EQ(chain["chain"][1]["content_id"].get<std::string>().size(), 8u);
}

TEST(CliWholeDisk, PartitionsPastTheDiskEndAreRefusedBeforeAnyByte) {
  TempDir dir;
  // A GPT disk with both headers spoilt lists its protective entry, here covering 2^32-1 sectors;
  // an MBR entry of a truncated image.
  const std::string gpt = dir.file("gpt.raw"), mbr = dir.file("mbr.raw");
  Sh("truncate -s 16M " + Quote(gpt) + " && sgdisk -o -n 1:2048:+4M " + Quote(gpt) + " >/dev/null");
  PokeBytes(gpt, 446 + 12, {0xFF, 0xFF, 0xFF, 0xFF});  // as written for disks past 2 TiB
  PokeBytes(gpt, 512, {'X'});                          // primary header signature
  PokeBytes(gpt, (16 << 20) - 512, {'X'});             // backup header signature
  SfdiskDisk(mbr, 16 << 20, "start=30000, type=83");
  PokeBytes(mbr, 446 + 12, {0x10, 0x27, 0, 0});  // 10000 sectors from 30000, on a disk of 32768
  Sh("qemu-img convert -q -f raw -O vmdk " + Quote(gpt) + " " + Quote(dir.file("gpt.vmdk")));
  Sh("qemu-img convert -q -f raw -O vmdk " + Quote(mbr) + " " + Quote(dir.file("mbr.vmdk")));
  WriteAll(dir.file("in.bin"), PatternBytes(4000 * 512, 3));
  struct Case {
    std::string command, sizes;
  } cases[] = {
      {"read " + Quote(dir.file("gpt.vmdk")) + " --partition 0 -o " + Quote(dir.file("out.bin")),
       "(sectors 1-4294967295, 2.00 TiB) runs past the end of the disk (32768 sectors, 16.0 MiB); nothing was read"},
      {"read " + Quote(dir.file("mbr.vmdk")) + " --partition 0 -o " + Quote(dir.file("out.bin")),
       "(sectors 30000-39999, 4.88 MiB) runs past the end of the disk (32768 sectors, 16.0 MiB); nothing was read"},
      {"write " + Quote(dir.file("mbr.vmdk")) + " --partition 0 --first 0 -i " + Quote(dir.file("in.bin")),
       "(sectors 30000-39999, 4.88 MiB) runs past the end of the disk (32768 sectors, 16.0 MiB); nothing was written"}};
  const std::vector<uint8_t> before = QemuRaw(dir.file("mbr.vmdk"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    std::filesystem::remove(dir.file("out.bin"));
    Result r = Vmpeek(c.command);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("partition 0 " + c.sizes), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.bin")));
  }
  EXPECT_TRUE(QemuRaw(dir.file("mbr.vmdk")) == before);
  // A range inside the disk still reads.
  EXPECT_EQ(Vmpeek("read " + Quote(dir.file("gpt.vmdk")) + " --partition 0 --first 0 --count 33").status, 0);
}

TEST(CliWholeDisk, AFailedFinalFlushFailsTheWrite) {
  TempDir dir;
  const std::string preload = std::string(VMPEEK_BUILD_DIR) + "/lib/libvmtest_fail_fdatasync.so";
  WriteAll(dir.file("in.bin"), PatternBytes(64 * 512, 5));
  for (const char* name : {"d.vmdk", "d.vhd"}) {
    SCOPED_TRACE(name);
    Sh("qemu-img create -q -f " + std::string(std::string(name).ends_with(".vhd") ? "vpc" : "vmdk") + " " +
       Quote(dir.file(name)) + " 8M");
    std::string out;
    // Under AddressSanitizer the preloaded library comes before its runtime: allow that order.
    const int status = vmtest::Run("ASAN_OPTIONS=\"${ASAN_OPTIONS}:verify_asan_link_order=0\" LD_PRELOAD=" + Quote(preload) + " " + Quote(std::string(VMPEEK_BUILD_DIR) + "/bin/vmpeek") +
                           " write " + Quote(dir.file(name)) + " --first 100 -i " + Quote(dir.file("in.bin")) +
                           " 2>&1 </dev/null", &out);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("the final flush of the image failed"), std::string::npos) << out;
  }
}

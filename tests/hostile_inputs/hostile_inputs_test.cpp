// Replays every regression input under tests/hostile/<target>/ and every committed seed under
// fuzz/seeds/<target>/ through the fuzz targets' harness. Under the sanitizer build any crash,
// leak or out-of-bounds access fails the program; the harness aborts on a heap peak beyond
// 4 x the input's files + 64 MiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_harness.h"
#include "support/test_support.h"
#include "support/trace_capture.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> InputsOf(const std::string& target) {
  std::vector<fs::path> files;
  for (const char* root : {"/tests/hostile/", "/fuzz/seeds/"}) {
    fs::path dir = fs::path(VMPEEK_SOURCE_DIR + std::string(root) + target);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) continue;
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class HostileInputs : public ::testing::TestWithParam<const char*> {};

TEST_P(HostileInputs, EveryInputOpensWithoutFault) {
  const vmfuzz::Target* target = vmfuzz::FindTarget(GetParam());
  ASSERT_NE(target, nullptr);
  for (const fs::path& file : InputsOf(GetParam())) {
    SCOPED_TRACE(file.string());
    std::vector<uint8_t> bytes = vmtest::ReadAll(file.string());
    target->run(bytes.data(), bytes.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, HostileInputs,
                         ::testing::Values("vmdk_descriptor", "vmdk_hosted_sparse", "vmdk_esx_sparse",
                                           "vhd", "partitions", "gpt", "cfgball", "vmx", "vmc", "registry_hive",
                                           "quilldrv_records", "quilldrv_volume"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

// Hostile inputs that must be refused (or, for partition chains, cut short) with a known status
// and trace line: parent loops, bounds on table and grain sizes, locators that point outside
// the image's drive, extended chains that loop or overflow the partition table, GPT headers
// whose fields or CRCs are bad.
TEST(HostileInputsRefused, StatusAndTrace) {
  struct Case {
    const char* target;
    const char* file;
    uint32_t status;
    const char* trace;
  };
  const Case cases[] = {
      {"vmdk_descriptor", "recursion-parent-loop", 0xC000005A,
       "VMDKVirtualDisk::ParseExtentDescription parent creation failed with c000005a."},
      {"vmdk_descriptor", "recursion-self-parent", 0xC000005A, "disk.vmdk is already part of this chain."},
      {"vmdk_hosted_sparse", "bound-grain-size-max", 0xC000007B,
       "VMDKVirtualDisk::ProcessDescriptorFile an extent is bad"},
      {"vmdk_hosted_sparse", "bound-capacity-2g-grain-1", 0xC000007B,
       "VMDKVirtualDisk::ProcessDescriptorFile an extent is bad"},
      {"vmdk_esx_sparse", "bound-table-count-max", 0xC000007B,
       "VMDKVirtualDisk::ProcessDescriptorFile an extent is bad"},
      {"vhd", "bound-table-entries-max", 0xC000007B, "VHDVirtualDisk::OpenDynamic"},
      {"vhd", "bound-block-size-2g", 0xC000007B, "VHDVirtualDisk::OpenDynamic"},
      {"vhd", "recursion-self-parent", 0xC000005A, "VHDVirtualDisk::FindParent open of parent disk failed"},
      {"vhd", "recursion-parent-loop", 0xC000005A, "VHDVirtualDisk::FindParent open of parent disk failed"},
      {"vhd", "escape-locator-outside", 0xC000005A, "VHDVirtualDisk::FindParent trying parent \\??\\C:\\Windows\\p.vhd."},
      {"partitions", "extended-self-loop", 0, "VirtualDisk::ProcessExtendedMBR chain links back to sector 1, not followed"},
      {"partitions", "extended-chain-300", 0,
       "VirtualDisk::GetPartition invalid partition requested 252 >= 252"},  // the table is full
      {"gpt", "count-max", 0, "VirtualDisk::ProcessGPT primary header at sector 1 is bad: 4294967295 entries of 128 bytes exceed"},
      {"gpt", "array-past-end", 0, "entry array at sector 18446744073709551600 (32 sectors) ends past the disk"},
      {"gpt", "crc-kept-bad", 0, "VirtualDisk::ProcessGPT no valid GPT header, using the MBR entries"},
      {"gpt", "backup-only", 0, "VirtualDisk::ProcessGPT using the backup header at sector 2047"},
      {"gpt", "entries-hostile", 0, "entry 1 (sectors 200..100) skipped: its last sector is before its first"},
      {"gpt", "entries-hostile", 0, "entry 3 (sectors 50..60) skipped: it overlaps partition 0"},
      {"gpt", "entries-hostile", 0, "entry 6 (sectors 2013..2018) skipped: it lies outside the usable sectors 34..2014"},
      {"gpt", "entries-300", 0, "VirtualDisk::GetPartition invalid partition requested 252 >= 252"},  // full
      {"vmx", "size-8193", 11, "CVMWareVirtualMachine::Open : size of 8193 isn't valid ."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.target) + "/" + c.file);
    std::vector<uint8_t> bytes =
        vmtest::ReadAll(VMPEEK_SOURCE_DIR + std::string("/tests/hostile/") + c.target + "/" + c.file);
    ASSERT_FALSE(bytes.empty());
    vmtest::ClearTrace();
    vmfuzz::FindTarget(c.target)->run(bytes.data(), bytes.size());
    EXPECT_EQ(vmfuzz::LastOpenStatus(), c.status);
    EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", c.trace) ||
                vmtest::TraceContains("VMParseDetails", c.trace));
  }
}

// The volume driver's seeds are real volumes (mkntfs, mkfs.fat, mkfs.ext2, xorriso): each one
// mounts, so the fuzzer starts from inputs that reach the filesystem libraries.
TEST(HostileInputsHarness, VolumeSeedsMount) {
  for (const char* seed : {"ntfs", "fat12", "ext2", "iso"}) {
    std::vector<uint8_t> bytes =
        vmtest::ReadAll(VMPEEK_SOURCE_DIR + std::string("/fuzz/seeds/quilldrv_volume/") + seed);
    ASSERT_FALSE(bytes.empty()) << seed;
    vmfuzz::FindTarget("quilldrv_volume")->run(bytes.data(), bytes.size());
    EXPECT_EQ(vmfuzz::LastOpenStatus(), 0u) << seed;
  }
}

}  // namespace

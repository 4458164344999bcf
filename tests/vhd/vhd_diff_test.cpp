// Differencing VHDs: children written by vhd-lib (an independent writer) over qemu-made
// parents, and chains from the fixture builder found through W2ku and W2ru locators.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "support/poke_table.h"
#include "vhd/vhd_test_util.h"

using namespace vhdtest;

namespace {

constexpr uint32_t kW2ku = 0x57326B75, kW2ru = 0x57327275;
constexpr uint32_t kInvalidOwner = 0xC000005A;

void Overlay(std::vector<uint8_t>& raw, uint64_t sector, uint32_t count, uint8_t byte) {
  std::fill(raw.begin() + sector * 512, raw.begin() + (sector + count) * 512, byte);
}

}  // namespace

TEST(VhdDiff, VhdLibChildReadsThroughQemuParent) {
  TempDir dir;
  std::string parent = MakeQemuImage(dir, "base.vhd", "subformat=dynamic,force_size=on");
  std::string child = dir.file("child.vhd");
  Sh("qemu-img create -q -f vpc -o subformat=dynamic,force_size=on " + Quote(child) + " 64M");
  auto expected = QemuRaw(parent, "vpc");
  auto parentBytes = ReadAll(parent);
  std::string writes;
  for (auto [sector, count, byte] : {std::tuple{2050, 4, 0xA1}, {4094, 4, 0xB2}, {20480, 8, 0xC3}, {8192, 4096, 0xD4},
                                     {81921, 3, 0xE5}}) {
    writes += " " + std::to_string(sector) + ":" + std::to_string(count) + ":" + std::to_string(byte);
    Overlay(expected, sector, count, static_cast<uint8_t>(byte));
  }
  VhdLibChild(parent, child, writes);
  if (IsSkipped()) return;

  {
    DiskRef d;
    ASSERT_EQ(OpenImage(d, child, true), 0);
    EXPECT_EQ(ParentName(d.p), "\\??\\" + Utf16ToUtf8(vmtest::WinPath(parent)));
    EXPECT_EQ(d->GetPartitionCount(), 2);
    EXPECT_EQ(FirstDifference(ReadWhole(d.p), expected), -1);
    EXPECT_EQ(FirstDifference(ReadWhole(d.p, 10000), expected), -1);
  }
  // Writing one sector of a block the child lacks: that sector comes from the child, its
  // neighbour still from the parent, and the parent is not touched.
  {
    DiskRef d;
    ASSERT_EQ(OpenImage(d, child, false), 0);
    std::vector<uint8_t> one(512, 0x5C);
    const uint64_t s = 20 * 4096 + 5;
    ASSERT_EQ(d->Write(s, 1, one.data()), 0);
    Overlay(expected, s, 1, 0x5C);
    std::vector<uint8_t> two(1024);
    ASSERT_EQ(d->Read(s, 2, two.data()), 0);
    EXPECT_EQ(two[0], 0x5C);
    EXPECT_EQ(two[512], 0x33);
    EXPECT_EQ(FirstDifference(ReadWhole(d.p), expected), -1);
  }
  EXPECT_EQ(ReadAll(parent), parentBytes);
}

namespace {

// A 16 MiB base with an MBR and data, saved at path; returns the builder.
VhdBuilder MakeBase(const TempDir& dir, const std::string& path) {
  VhdBuilder b(3, 16 << 20);
  b.Write(0, SfdiskMbr(dir.path(), 16 << 20, "start=2048, type=83\n"));
  b.Write(2048, vmtest::PatternBytes(512 * 100, 1));
  b.Write(4096 * 3 - 2, vmtest::PatternBytes(512 * 4, 2));
  SaveImage(path, b.Build());
  return b;
}

VhdBuilder MakeChild(const VhdBuilder& parent, std::vector<Locator> locators, uint32_t seed) {
  VhdBuilder c(4, 16 << 20);
  memcpy(c.parentUuid, parent.uuid, 16);
  c.uuid[0] ^= static_cast<uint8_t>(seed * 37 + 1);
  c.uuid[15] = static_cast<uint8_t>(seed);
  c.locators = std::move(locators);
  c.Write(2048 + seed, vmtest::PatternBytes(512 * 3, 100 + seed));
  c.Write(4096 * 5 + seed, vmtest::PatternBytes(512, 200 + seed));
  return c;
}

// What a chain reads: each child's written sectors over its parent's view.
std::vector<uint8_t> Through(std::vector<uint8_t> below, const VhdBuilder& child) {
  auto own = child.Raw();
  for (size_t s = 0; s < own.size() / 512; ++s) {
    bool any = false;
    for (size_t i = 0; i < 512 && !any; ++i) any = own[s * 512 + i] != 0;
    if (any) memcpy(below.data() + s * 512, own.data() + s * 512, 512);
  }
  return below;
}

}  // namespace

TEST(VhdDiff, BuilderChainsFollowW2kuThenW2ru) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("VMs"));
  std::filesystem::create_directories(dir.file("other"));
  VhdBuilder base = MakeBase(dir, dir.file("VMs/base.vhd"));
  // The builder is honest: qemu-img reads its dynamic output as the builder means it.
  EXPECT_EQ(FirstDifference(QemuRaw(dir.file("VMs/base.vhd"), "vpc"), base.Raw()), -1);

  VhdBuilder child = MakeChild(base, {{kW2ku, u"C:\\VMs\\base.vhd"}, {kW2ru, u".\\base.vhd"}}, 1);
  SaveImage(dir.file("VMs/child.vhd"), child.Build());
  VhdBuilder grand = MakeChild(child, {{kW2ru, u"..\\VMs\\child.vhd"}}, 2);
  SaveImage(dir.file("other/grand.vhd"), grand.Build());
  auto childView = Through(base.Raw(), child);
  auto grandView = Through(childView, grand);

  // W2ku: an absolute Windows path through the drive-letter mapping.
  setenv("VMPEEK_DRIVE_C", dir.path().c_str(), 1);
  {
    DiskRef d;
    ASSERT_EQ(OpenImage(d, dir.file("VMs/child.vhd"), true), 0);
    EXPECT_EQ(ParentName(d.p), "\\??\\C:\\VMs\\base.vhd");
    EXPECT_EQ(FirstDifference(ReadWhole(d.p), childView), -1);
    DiskRef g;
    ASSERT_EQ(OpenImage(g, dir.file("other/grand.vhd"), true), 0);
    EXPECT_EQ(FirstDifference(ReadWhole(g.p, 4096 * 2 + 5), grandView), -1);
  }
  unsetenv("VMPEEK_DRIVE_C");

  // A copied chain: the W2ku path leads nowhere, the W2ru paths lead to the copies.
  TempDir copy;
  Sh("cp -r " + Quote(dir.file("VMs")) + " " + Quote(dir.file("other")) + " " + Quote(copy.path()));
  std::filesystem::remove_all(dir.path() + "/VMs");
  vmtest::ClearTrace();
  DiskRef g;
  ASSERT_EQ(OpenImage(g, copy.file("other/grand.vhd"), true), 0);
  EXPECT_EQ(ParentName(g.p), Utf16ToUtf8(vmtest::NtPath(copy.file("other"))) + "\\..\\VMs\\child.vhd");
  EXPECT_EQ(FirstDifference(ReadWhole(g.p), grandView), -1);
  EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "VHDVirtualDisk::FindParent : Looking for W2ru."));
  EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "VHDVirtualDisk::FindParent trying parent " +
                                                         Utf16ToUtf8(vmtest::NtPath(copy.file("other"))) + "\\..\\VMs\\base.vhd."));
}

// Chains of 32 parents open; one more is refused. (Loops and a wrong parent id are the hostile
// tests' rows.)
TEST(VhdDiff, ChainsDeeperThan32ParentsAreRefused) {
  TempDir dir;
  VhdBuilder below = MakeBase(dir, dir.file("c0.vhd"));
  for (int i = 1; i <= 33; ++i) {
    below = MakeChild(below, {{kW2ru, Utf8ToUtf16("c" + std::to_string(i - 1) + ".vhd")}}, 10 + i);
    SaveImage(dir.file("c" + std::to_string(i) + ".vhd"), below.Build());
  }
  ExpectOpen(dir.file("c32.vhd"), 0, nullptr);
  ExpectOpen(dir.file("c33.vhd"), kInvalidOwner, "VHDVirtualDisk::Open differencing chain is deeper than 32 parents.");
}

// A child larger than its parent reads zeros past the parent's end, in unallocated blocks and
// in unwritten sectors of its own blocks, as a VMDK child does.
TEST(VhdDiff, ReadsPastTheParentsEndAreZeros) {
  TempDir dir;
  VhdBuilder base(3, 8 << 20);
  base.Write(0, SfdiskMbr(dir.path(), 8 << 20, "start=2048, type=83\n"));
  base.Write(16380, vmtest::PatternBytes(512 * 4, 9));  // the parent's last sectors
  SaveImage(dir.file("base.vhd"), base.Build());
  VhdBuilder child = MakeChild(base, {{kW2ru, u"base.vhd"}}, 2);
  child.Write(4096 * 3 + 7, vmtest::PatternBytes(512, 77));  // a block wholly past the parent
  SaveImage(dir.file("child.vhd"), child.Build());
  DiskRef d;
  ASSERT_EQ(OpenImage(d, dir.file("child.vhd"), true), 0);
  std::vector<uint8_t> below = base.Raw();
  below.resize(16 << 20);
  const std::vector<uint8_t> expected = Through(below, child);
  EXPECT_EQ(FirstDifference(ReadWhole(d.p, 1000), expected), -1);
}

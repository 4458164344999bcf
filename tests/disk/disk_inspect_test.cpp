// The library's second interface, "VmPeek_Disk_Inspect_1": disks without partitions open through
// it (and still not through the mount control), content ids and parents of chains made by real
// tools, the partition scheme, and parents opened for their children without discovery.
#include <gtest/gtest.h>

#include <cstring>

#include "module/interface_registry.h"
#include "module/module_lifetime.h"
#include "module/module_startup.h"
#include "platform/status.h"
#include "raw_test_disk.h"
#include "support/image_support.h"
#include "vhd/vhd_builder.h"

using namespace vmtest;

namespace {

const std::string kImages = std::string(VMPEEK_SOURCE_DIR) + "/tests/data/images/";

struct Inspect {
  vmpeek::CVmDiskInspect* p = nullptr;
  Inspect() {
    ModuleStaticStartup();
    void* object = nullptr;
    EXPECT_EQ(ModuleGetInterface(VMPEEK_DISK_INSPECT_INTERFACE, &object), 0u);
    p = static_cast<vmpeek::CVmDiskInspect*>(object);
  }
  ~Inspect() {
    if (p) p->Release();
  }
  NTSTATUS Open(DiskRef& disk, const std::string& posix, bool readOnly = true) {
    disk.reset();
    return disk.status = p->OpenVirtualDisk(WinPath(posix).c_str(), readOnly ? 1 : 0, disk.put());
  }
  // Content id and parent id as hex, "" for a missing (all-zero) parent id.
  std::pair<std::string, std::string> Ids(vmpeek::VirtualDisk* d) {
    uint8_t id[16], parent[16];
    uint32_t size = 99;
    EXPECT_EQ(p->GetContentIds(d, id, parent, &size), 0);
    const bool none = std::all_of(parent, parent + size, [](uint8_t b) { return b == 0; });
    return {Hex(id, size), none ? "" : Hex(parent, size)};
  }
};

// A descriptor's CID or parentCID value as 8 hex digits (qemu-img writes no leading zeros).
std::string DescriptorValue(const std::string& vmdk, const std::string& key) {
  const std::string value = Sh("grep -a -m1 '^" + key + "=' " + Quote(vmdk) + " | cut -d= -f2");
  char text[16];
  snprintf(text, sizeof text, "%08lx", std::stoul(value, nullptr, 16));
  return text;
}

}  // namespace

TEST(DiskInspect, SlotsAndLiveObject) {
  Inspect inspect;
  ASSERT_TRUE(inspect.p);
  EXPECT_EQ(ModuleLiveObjects(), 1u);
  void** vtable = *reinterpret_cast<void***>(inspect.p);
  auto scheme = reinterpret_cast<vmpeek::PartitionScheme (*)(void*, void*)>(vtable[5]);
  auto gpt = reinterpret_cast<NTSTATUS (*)(void*, void*, uint8_t, uint8_t*, WCHAR*)>(vtable[6]);
  EXPECT_EQ(scheme(inspect.p, nullptr), vmpeek::PartitionSchemeNone);
  TempDir dir;
  DiskRef disk;
  ASSERT_EQ(inspect.Open(disk, SfdiskDisk(dir.file("d.img"), 1 << 20, "start=64, type=7")), 0);
  uint8_t guid[16];
  memset(guid, 0xAA, sizeof guid);
  WCHAR name[37] = {u'x'};
  EXPECT_EQ(gpt(inspect.p, disk.p, 0, guid, name), STATUS_NOT_FOUND);
  EXPECT_EQ(guid[15], 0);
  EXPECT_EQ(name[0], 0);
  vmpeek::VirtualDisk* parent = disk.p;  // sentinel
  EXPECT_EQ(inspect.p->GetParent(disk.p, &parent), 0);
  EXPECT_EQ(parent, nullptr);
  EXPECT_EQ(inspect.Ids(disk.p), (std::pair<std::string, std::string>{"", ""}));  // raw: no id
  EXPECT_EQ(inspect.p->GetContentIds(disk.p, guid, nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

TEST(DiskInspect, BlankDisksOpenOnlyThroughTheInspectionInterface) {
  TempDir dir;
  Inspect inspect;
  // qemu-img's virtual size; for Virtual PC's own images qemu-img takes the size of the CHS
  // geometry (136363130880) where the library takes the footer's current size.
  struct Case {
    const char* name;
    uint64_t bytes, qemuBytes;
  } cases[] = {{"hyperv2012r2-dynamic", 136365211648, 136365211648},
               {"virtualpc-dynamic", 136365211648, 136363130880},
               {"d2v-zerofilled", 263454720, 263454720}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string vhd = dir.file(std::string(c.name) + ".vhd");
    Sh("bzcat " + Quote(kImages + c.name + ".vhd.bz2") + " > " + Quote(vhd));
    const std::string size = Sh("qemu-img info --output=json " + Quote(vhd) + " | grep -o '\"virtual-size\": [0-9]*'");
    EXPECT_EQ(size, "\"virtual-size\": " + std::to_string(c.qemuBytes) + "\n");
    DiskRef disk;
    EXPECT_EQ(OpenImage(disk, vhd), STATUS_DEVICE_NOT_PARTITIONED);
    ASSERT_EQ(inspect.Open(disk, vhd), 0);
    EXPECT_EQ(SectorCount(disk.p) * 512, c.bytes);
    EXPECT_EQ(disk->GetPartitionCount(), 0);
    EXPECT_EQ(inspect.p->GetPartitionScheme(disk.p), vmpeek::PartitionSchemeNone);
    std::vector<uint8_t> last(512, 1);
    EXPECT_EQ(disk->Read(SectorCount(disk.p) - 1, 1, last.data()), 0);
    EXPECT_EQ(last, std::vector<uint8_t>(512, 0));
  }
}

TEST(DiskInspect, PartitionSchemes) {
  TempDir dir;
  Inspect inspect;
  const std::string fat = dir.file("fat.raw");
  Sh("truncate -s 16M " + Quote(fat) + " && mkfs.fat -F 16 " + Quote(fat) + " >/dev/null");
  const std::string gpt = dir.file("gpt.raw");
  Sh("truncate -s 16M " + Quote(gpt) + " && sgdisk -o -n 1:2048:+4M -t 1:0700 " + Quote(gpt) + " >/dev/null");
  struct Case {
    std::string raw;
    vmpeek::PartitionScheme scheme;
    int partitions;
  } cases[] = {{SfdiskDisk(dir.file("mbr.raw"), 16 << 20, "start=2048, size=4096, type=7\nstart=8192, type=83"),
                vmpeek::PartitionSchemeMbr, 2},
               {fat, vmpeek::PartitionSchemeNone, 0},  // one filesystem on the whole disk
               {gpt, vmpeek::PartitionSchemeGpt, 1}};   // its one GPT entry
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    const std::string vmdk = c.raw + ".vmdk";
    Sh("qemu-img convert -q -f raw -O vmdk " + Quote(c.raw) + " " + Quote(vmdk));
    DiskRef disk;
    ASSERT_EQ(inspect.Open(disk, vmdk), 0);
    EXPECT_EQ(inspect.p->GetPartitionScheme(disk.p), c.scheme);
    EXPECT_EQ(disk->GetPartitionCount(), c.partitions);
  }
}

TEST(DiskInspect, ContentIdsAndParentsOfChains) {
  TempDir dir;
  Inspect inspect;
  // VMDK: a qemu-img child over a blank base (no table anywhere in the chain).
  const std::string base = dir.file("base.vmdk"), child = dir.file("child.vmdk");
  Sh("qemu-img create -q -f vmdk " + Quote(base) + " 8M");
  Sh("qemu-img create -q -f vmdk -b " + Quote(base) + " -F vmdk " + Quote(child));
  DiskRef disk;
  EXPECT_EQ(OpenImage(disk, child), STATUS_DEVICE_NOT_PARTITIONED);
  ASSERT_EQ(inspect.Open(disk, child), 0);
  EXPECT_EQ(inspect.Ids(disk.p), std::make_pair(DescriptorValue(child, "CID"), DescriptorValue(child, "parentCID")));
  EXPECT_EQ(inspect.Ids(disk.p).second, DescriptorValue(base, "CID"));
  DiskRef parent;
  ASSERT_EQ(inspect.p->GetParent(disk.p, parent.put()), 0);
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->GetPartitionCount(), 0);
  EXPECT_EQ(inspect.Ids(parent.p), std::make_pair(DescriptorValue(base, "CID"), std::string()));

  // VHD: a differencing child over a blank dynamic parent opens (it was refused as a bad owner),
  // through the mount control too once the child holds a partition table.
  using namespace vhdtest;
  VhdBuilder blank(3, 16 << 20), diff(4, 16 << 20);
  diff.uuid[0] ^= 1;
  memcpy(diff.parentUuid, blank.uuid, 16);
  diff.locators = {{0x57327275, u".\\blank.vhd"}};
  SaveImage(dir.file("blank.vhd"), blank.Build());
  SaveImage(dir.file("diff.vhd"), diff.Build());
  ASSERT_EQ(inspect.Open(disk, dir.file("diff.vhd")), 0);
  EXPECT_EQ(inspect.Ids(disk.p), std::make_pair(Hex(diff.uuid, 16), Hex(blank.uuid, 16)));
  parent.reset();
  ASSERT_EQ(inspect.p->GetParent(disk.p, parent.put()), 0);
  ASSERT_TRUE(parent);
  EXPECT_EQ(inspect.Ids(parent.p), std::make_pair(Hex(blank.uuid, 16), std::string()));
  diff.Write(0, SfdiskMbr(dir.path(), 16 << 20, "start=2048, type=7\n"));
  SaveImage(dir.file("diff.vhd"), diff.Build());
  EXPECT_EQ(OpenImage(disk, dir.file("diff.vhd")), 0);
  EXPECT_EQ(disk->GetPartitionCount(), 1);
}

TEST(DiskInspect, LdmScheme) {
  TempDir dir;
  Inspect inspect;
  const std::string raw = dir.file("ldm.img");
  Sh("tar -xJf " + Quote(std::string(VMPEEK_SOURCE_DIR) + "/tests/data/ldm/ldm-data.tar.xz") + " -C " +
     Quote(dir.path()) + " ldm-2003r2-simple-1.img");
  auto disk = OpenRaw(dir.file("ldm-2003r2-simple-1.img"));
  EXPECT_EQ(inspect.p->GetPartitionScheme(disk.p), vmpeek::PartitionSchemeLdm);
}

// The library's second interface, "VmPeek_Disk_Inspect_1": disks without partitions open through
// it (and still not through the mount control), content ids and parents of chains made by real
// tools, the partition scheme, and parents opened for their children without discovery.
#include <gtest/gtest.h>

#include <cstring>

#include "module/interface_registry.h"
#include "module/module_lifetime.h"
#include "module/module_startup.h"
#include "platform/status.h"
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
  const std::tuple<const char*, uint64_t, uint64_t> cases[] = {  // image, its size, qemu-img's
      {"hyperv2012r2-dynamic", 136365211648, 136365211648},
      {"virtualpc-dynamic", 136365211648, 136363130880},
      {"d2v-zerofilled", 263454720, 263454720}};
  for (const auto& [name, bytes, qemuBytes] : cases) {
    SCOPED_TRACE(name);
    const std::string vhd = dir.file(std::string(name) + ".vhd");
    Sh("bzcat " + Quote(kImages + name + ".vhd.bz2") + " > " + Quote(vhd));
    const std::string size = Sh("qemu-img info --output=json " + Quote(vhd) + " | grep -o '\"virtual-size\": [0-9]*'");
    EXPECT_EQ(size, "\"virtual-size\": " + std::to_string(qemuBytes) + "\n");
    DiskRef disk;
    EXPECT_EQ(OpenImage(disk, vhd), STATUS_DEVICE_NOT_PARTITIONED);
    ASSERT_EQ(inspect.Open(disk, vhd), 0);
    EXPECT_EQ(SectorCount(disk.p) * 512, bytes);
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
  const std::string fat = dir.file("fat.raw"), gpt = dir.file("gpt.raw"), ldm = "ldm-2003r2-simple-1.img";
  Sh("truncate -s 16M " + Quote(fat) + " && mkfs.fat -F 16 " + Quote(fat) + " >/dev/null");
  Sh("truncate -s 16M " + Quote(gpt) + " && sgdisk -o -n 1:2048:+4M -t 1:0700 " + Quote(gpt) + " >/dev/null");
  Sh("tar -xJf " + Quote(std::string(VMPEEK_SOURCE_DIR) + "/tests/data/ldm/ldm-data.tar.xz") + " -C " +
     Quote(dir.path()) + " " + ldm);
  const std::tuple<std::string, vmpeek::PartitionScheme, int> cases[] = {  // raw disk, scheme, partitions
      {SfdiskDisk(dir.file("mbr.raw"), 16 << 20, "start=2048, size=4096, type=7\nstart=8192, type=83"),
       vmpeek::PartitionSchemeMbr, 2},
      {fat, vmpeek::PartitionSchemeNone, 0},             // one filesystem on the whole disk
      {gpt, vmpeek::PartitionSchemeGpt, 1},              // its one GPT entry
      {dir.file(ldm), vmpeek::PartitionSchemeLdm, 1}};  // a dynamic disk written by Windows
  for (const auto& [raw, scheme, partitions] : cases) {
    SCOPED_TRACE(raw);
    Sh("qemu-img convert -q -f raw -O vmdk " + Quote(raw) + " " + Quote(raw + ".vmdk"));
    DiskRef disk;
    ASSERT_EQ(inspect.Open(disk, raw + ".vmdk"), 0);
    EXPECT_EQ(inspect.p->GetPartitionScheme(disk.p), scheme);
    EXPECT_EQ(disk->GetPartitionCount(), partitions);
  }
}

TEST(DiskInspect, ContentIdsAndParentsOfChains) {
  TempDir dir;
  Inspect inspect;
  // VMDK: a qemu-img child over a blank base; VHD: a differencing child over a blank dynamic
  // parent (it was refused as a bad owner). No table anywhere in either chain.
  const std::string base = dir.file("base.vmdk"), child = dir.file("child.vmdk");
  Sh("qemu-img create -q -f vmdk " + Quote(base) + " 8M");
  Sh("qemu-img create -q -f vmdk -b " + Quote(base) + " -F vmdk " + Quote(child));
  vhdtest::VhdBuilder blank(3, 16 << 20), diff(4, 16 << 20);
  diff.uuid[0] ^= 1;
  memcpy(diff.parentUuid, blank.uuid, 16);
  diff.locators = {{0x57327275, u".\\blank.vhd"}};
  vhdtest::SaveImage(dir.file("blank.vhd"), blank.Build());
  vhdtest::SaveImage(dir.file("diff.vhd"), diff.Build());
  const struct {
    std::string child, id, parentId;
  } chains[] = {{child, VmdkDescriptorId(child), VmdkDescriptorId(base)},
                {dir.file("diff.vhd"), Hex(diff.uuid, 16), Hex(blank.uuid, 16)}};
  for (const auto& c : chains) {
    SCOPED_TRACE(c.child);
    DiskRef disk, parent;
    EXPECT_EQ(OpenImage(disk, c.child), STATUS_DEVICE_NOT_PARTITIONED);
    ASSERT_EQ(inspect.Open(disk, c.child), 0);
    EXPECT_EQ(inspect.Ids(disk.p), std::make_pair(c.id, c.parentId));
    ASSERT_EQ(inspect.p->GetParent(disk.p, parent.put()), 0);
    ASSERT_TRUE(parent);
    EXPECT_EQ(parent->GetPartitionCount(), 0);
    EXPECT_EQ(inspect.Ids(parent.p), std::make_pair(c.parentId, std::string()));
  }
  // Through the mount control too once the child holds a partition table.
  diff.Write(0, vhdtest::SfdiskMbr(dir.path(), 16 << 20, "start=2048, type=7\n"));
  vhdtest::SaveImage(dir.file("diff.vhd"), diff.Build());
  DiskRef disk;
  EXPECT_EQ(OpenImage(disk, dir.file("diff.vhd")), 0);
  EXPECT_EQ(disk->GetPartitionCount(), 1);
}

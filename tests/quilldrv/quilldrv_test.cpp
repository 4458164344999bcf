// The volume driver through its link library: mounts of real volumes (made by mkntfs, mkfs.fat,
// mkfs.ext4, xorriso, and written by Windows) inside images made by sfdisk and qemu-img, every
// listing and file checked against The Sleuth Kit on the raw image, files written through the
// driver checked with icat, ntfscat and ntfsfix; request records poked field by field.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <map>

#include "driver_helpers.h"
#include "ntfs_tree.h"
#include "platform/endian.h"
#include "platform/status.h"
#include "platform/wstr.h"
#include "quilldrv/driver_errors.h"
#include "quilldrv/driver_link.h"
#include "quilldrv/request_records.h"
#include "quilldrv/volume_driver.h"
#include "support/test_support.h"

namespace {

using vmtest::Quote;
using vmtest::Sh;
using namespace quilltest;

class QuillDriver : public ::testing::Test {
 protected:
  void SetUp() override { m_Driver = Connect(); }
  void TearDown() override { m_Driver->Release(); }
  // A 96 MiB MBR disk with one NTFS partition at sector 2048 filled with the tree below; the
  // raw disk and the partition stay in the temporary folder.
  std::string MakeNtfsDisk(bool hibernated = false) {
    std::string part = m_Dir.file("part.img"), disk = m_Dir.file("disk.raw");
    Sh("truncate -s 64M " + Quote(part) + " && mkntfs -F -Q -q -s 512 -p 2048 -H 255 -S 63 -L vmpeek " + Quote(part) + " 2>/dev/null");
    std::string big(3 << 20, 0);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    EXPECT_TRUE(MakeNtfsTree(part, {{"/docs", true},
                                    {"/docs/deep", true},
                                    {"/hello.txt", false, "Hello, volume!\n", 0, "extra", "stream data"},
                                    {"/docs/big.bin", false, big},
                                    {"/docs/deep/\xc3\xbcnic\xc3\xb6" "de.txt", false, "unicode"},
                                    {"/secret.sys", false, "s", 0x2 | 0x4 | 0x1}}));
    if (hibernated) {
      EXPECT_TRUE(MakeNtfsTree(part, {{"/hiberfil.sys", false, "hibr" + std::string(8188, '\0')}}));
    }
    vmtest::SfdiskDisk(disk, 96ull << 20, "label: dos\nstart=2048, size=131072, type=7\n");
    Sh("dd if=" + Quote(part) + " of=" + Quote(disk) + " bs=1M seek=1 conv=notrunc status=none");
    return disk;
  }
  ContentDriver* m_Driver = nullptr;
  vmtest::TempDir m_Dir;
};

TEST_F(QuillDriver, NtfsInEveryImageFormatReadsAsTheSleuthKitSeesIt) {
  std::string raw = MakeNtfsDisk();
  Sh("qemu-img convert -O vmdk " + Quote(raw) + " " + Quote(m_Dir.file("d.vmdk")));
  Sh("qemu-img convert -O vpc -o subformat=dynamic " + Quote(raw) + " " + Quote(m_Dir.file("d.vhd")));
  // A differencing child holding no blocks of its own (see bench/make_vhd_child.py).
  Sh("truncate -s 96M " + Quote(m_Dir.file("zero.raw")) + " && qemu-img convert -O vpc -o subformat=dynamic " +
     Quote(m_Dir.file("zero.raw")) + " " + Quote(m_Dir.file("child.vhd")) + " && python3 " +
     Quote(std::string(VMPEEK_SOURCE_DIR) + "/bench/make_vhd_child.py") + " " + Quote(m_Dir.file("d.vhd")) + " " +
     Quote(m_Dir.file("child.vhd")));
  for (const char* image : {"d.vmdk", "d.vhd", "child.vhd"}) {
    SCOPED_TRACE(image);
    Mounted m = MountImage(m_Driver, m_Dir.file(image), 0, false);
    ASSERT_EQ(m.status, 0u);
    ASSERT_TRUE(m.volume);
    EXPECT_TRUE(m.volume->IsReadOnly());
    CheckAgainstTsk(*m.volume, raw, 2048, true);
    std::u16string label, fs;
    uint32_t serial = 0;
    ASSERT_EQ(m.volume->GetVolumeInformation(&label, &fs, &serial), 0u);
    EXPECT_EQ(label, u"vmpeek");
    EXPECT_EQ(fs, u"NTFS");
    EXPECT_EQ(vmtest::Hex(reinterpret_cast<uint8_t*>(&serial), 4),
              vmtest::Hex(vmtest::ReadBytes(raw, (1 << 20) + 0x48, 4).data(), 4));
    VolumeFileInfo info;
    ASSERT_EQ(m.volume->GetInfo(u"\\SECRET.SYS", &info), 0u);  // names match without case
    EXPECT_EQ(info.attributes & 0x7, 0x7u);
    ASSERT_EQ(m.volume->GetInfo(u"\\hello.txt:extra", &info), 0u);
    EXPECT_EQ(info.size, 11u);
    EXPECT_EQ(ReadWhole(*m.volume, "hello.txt:extra"), "stream data");
    std::unique_ptr<VolumeFile> f;
    bool created;
    EXPECT_EQ(m.volume->Open(u"\\new.txt", VOLUME_OPEN_WRITE, 1, 0, &f, &created), ERROR_WRITE_PROTECT);
    EXPECT_EQ(m.volume->DeleteFile(u"\\hello.txt"), ERROR_WRITE_PROTECT);
    uint8_t id[8], ro[4] = {0xCC, 0xCC, 0xCC, 0xCC};
    uint64_t returned = 0;
    StoreLE64(id, m.id);
    EXPECT_EQ(m_Driver->IoCtl(VMMount_IoCtl_ReadOnly, id, 8, ro, 4, &returned), 0u);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(LoadLE32(ro), 1u);
    EXPECT_EQ(Unmount(m_Driver, m.id), 0u);
    EXPECT_EQ(Unmount(m_Driver, m.id), ERROR_INVALID_PARAMETER);
  }
}

TEST_F(QuillDriver, NtfsWritesReadBackWithIcatAndNtfscatAndPassNtfsfix) {
  std::string raw = MakeNtfsDisk();
  std::string vhd = m_Dir.file("w.vhd");
  Sh("qemu-img convert -O vpc -o subformat=dynamic " + Quote(raw) + " " + Quote(vhd));
  Mounted m = MountImage(m_Driver, vhd, 0, true);
  ASSERT_EQ(m.status, 0u);
  VolumeProvider& v = *m.volume;
  ASSERT_FALSE(v.IsReadOnly());
  std::string payload(1 << 20, 0);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + (i >> 9));
  std::unique_ptr<VolumeFile> f;
  bool created = false;
  ASSERT_EQ(v.Open(u"\\out", VOLUME_OPEN_CREATE_DIR, 1, 0, &f, &created), 0u);
  EXPECT_TRUE(created);
  f.reset();
  ASSERT_EQ(v.Open(u"\\out\\written.bin", VOLUME_OPEN_WRITE, 1, 0x2, &f, &created), 0u);
  uint32_t done = 0;
  ASSERT_EQ(f->Write(0, payload.data(), 1000, &done), 0u);  // unaligned pieces
  ASSERT_EQ(f->Write(1000, payload.data() + 1000, static_cast<uint32_t>(payload.size() - 1000), &done), 0u);
  EXPECT_EQ(f->Flush(), 0u);
  EXPECT_EQ(v.DeleteFile(u"\\out\\written.bin"), ERROR_SHARING_VIOLATION);  // open
  EXPECT_EQ(f->Close(), 0u);
  ASSERT_EQ(v.Open(u"\\out\\written.bin:note", VOLUME_OPEN_WRITE, 4, 0, &f, &created), 0u);
  ASSERT_EQ(f->Write(0, "side", 4, &done), 0u);
  f.reset();
  ASSERT_EQ(v.Open(u"\\hello.txt", VOLUME_OPEN_WRITE, 5, 0, &f, &created), 0u);  // truncate
  ASSERT_EQ(f->Write(0, "rewritten", 9, &done), 0u);
  ASSERT_EQ(f->SetSize(7), 0u);
  f.reset();
  EXPECT_EQ(v.Rename(u"\\docs\\deep", u"\\moved", false), 0u);
  EXPECT_EQ(v.Rename(u"\\moved", u"\\moved\\below", false), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(v.Rename(u"\\hello.txt", u"\\HELLO.TXT", false), 0u);
  EXPECT_EQ(v.Rename(u"\\docs\\big.bin", u"\\HELLO.TXT", false), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(v.DeleteFile(u"\\secret.sys"), ERROR_ACCESS_DENIED);  // read-only attribute
  EXPECT_EQ(v.SetAttributes(u"\\secret.sys", 0x80), 0u);
  EXPECT_EQ(v.DeleteFile(u"\\secret.sys"), 0u);
  EXPECT_EQ(v.RemoveDirectory(u"\\docs"), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(v.RemoveDirectory(u"\\HELLO.TXT"), ERROR_DIRECTORY);
  EXPECT_EQ(v.DeleteFile(u"\\$MFT"), ERROR_ACCESS_DENIED);
  for (const char16_t* bad : {u"\\..\\x", u"\\a/b", u"\\C:\\x", u"\\docs\\", u"\\a*"})
    EXPECT_EQ(v.GetInfo(bad, nullptr), ERROR_INVALID_NAME) << Utf16ToUtf8(bad);
  m.volume.reset();
  ASSERT_EQ(Unmount(m_Driver, m.id), 0u);

  std::string after = vmtest::QemuToRaw(vhd, m_Dir.file("after.raw"));
  std::string part = m_Dir.file("after.part");
  Sh("dd if=" + Quote(after) + " of=" + Quote(part) + " bs=1M skip=1 count=64 status=none");
  EXPECT_EQ(vmtest::Run("ntfsfix -n " + Quote(part) + " >/dev/null"), 0);
  EXPECT_TRUE(Sh("ntfscat " + Quote(part) + " /out/written.bin") == payload);
  EXPECT_EQ(Sh("ntfscat -q " + Quote(part) + " /HELLO.TXT"), "rewritt");
  EXPECT_EQ(Sh("ntfscat " + Quote(part) + " /moved/\xc3\xbcnic\xc3\xb6" "de.txt"), "unicode");
  std::map<std::string, std::string> tsk = Fls(after, 2048, true);
  EXPECT_FALSE(tsk.count("secret.sys"));
  EXPECT_FALSE(tsk.count("docs/deep"));
  ASSERT_TRUE(tsk.count("out/written.bin"));
  EXPECT_TRUE(Sh("icat -o 2048 " + Quote(after) + " " + tsk["out/written.bin"]) == payload);
  EXPECT_EQ(Sh("icat -o 2048 " + Quote(after) + " " + tsk["out/written.bin"] + "-128-4"), "side");
}

TEST_F(QuillDriver, OtherFilesystemsAreReadOnlyAndReadAsTheSleuthKitSeesThem) {
  std::string tree = m_Dir.file("tree");
  Sh("mkdir -p " + tree + "/sub/deeper && printf 'fat and ext' > " + tree + "/a.txt && head -c 300000 /dev/urandom > " +
     tree + "/sub/r.bin && printf x > " + tree + "/sub/deeper/x");
  struct Case {
    const char* name;
    std::string make;
    const char16_t* fileSystem;
  } cases[] = {
      {"fat.raw", "mkfs.fat -C -F 16 -i 1234abcd IMG 32768 >/dev/null && mcopy -s -i IMG TREE/a.txt TREE/sub ::/", u"FAT16"},
      {"fat12.raw", "mkfs.fat -C -F 12 -i 1234abcd IMG 4096 >/dev/null && mcopy -s -i IMG TREE/a.txt TREE/sub ::/", u"FAT12"},
      {"fat32.raw", "mkfs.fat -C -F 32 -i 1234abcd IMG 40000 >/dev/null && mcopy -s -i IMG TREE/a.txt TREE/sub ::/", u"FAT32"},
      {"ext.raw", "truncate -s 16M IMG && mkfs.ext4 -q -d TREE IMG", u"ext4"},
      {"iso.raw", "xorriso -as mkisofs -quiet -R -J -o IMG TREE 2>/dev/null", u"CDFS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string vol = m_Dir.file(c.name), disk = m_Dir.file(std::string(c.name) + ".vhd");
    std::string cmd = c.make;
    for (size_t at; (at = cmd.find("IMG")) != std::string::npos;) cmd.replace(at, 3, Quote(vol));
    for (size_t at; (at = cmd.find("TREE")) != std::string::npos;) cmd.replace(at, 4, Quote(tree));
    Sh(cmd);
    // The volume in partition 0 of an MBR disk at sector 2048, as a dynamic VHD.
    uint64_t size = vmtest::FileSize(vol);
    std::string raw = m_Dir.file("disk.raw");
    vmtest::SfdiskDisk(raw, (size + (2 << 20)) & ~uint64_t(0xFFFFF),
                       "label: dos\nstart=2048, size=" + std::to_string((size + 511) / 512) + ", type=83\n");
    Sh("dd if=" + Quote(vol) + " of=" + Quote(raw) + " bs=1M seek=1 conv=notrunc status=none");
    Sh("qemu-img convert -O vpc -o subformat=dynamic " + Quote(raw) + " " + Quote(disk));
    Mounted m = MountImage(m_Driver, disk, 0, true);
    ASSERT_EQ(m.status, 0u);
    EXPECT_TRUE(m.volume->IsReadOnly());
    CheckAgainstTsk(*m.volume, raw, 2048, false);
    std::u16string fs;
    uint32_t serial = 0;
    ASSERT_EQ(m.volume->GetVolumeInformation(nullptr, &fs, &serial), 0u);
    EXPECT_EQ(fs, c.fileSystem);
    if (fs.rfind(u"FAT", 0) == 0) {
      EXPECT_EQ(serial, 0x1234abcdu);
    }
    EXPECT_EQ(ReadWhole(*m.volume, c.name[0] == 'f' ? "A.TXT" : "a.txt").size(), 11u);
    std::unique_ptr<VolumeFile> f;
    bool created;
    EXPECT_EQ(m.volume->Open(u"\\a.txt", VOLUME_OPEN_WRITE, 3, 0, &f, &created), ERROR_WRITE_PROTECT);
    m.volume.reset();
    EXPECT_EQ(Unmount(m_Driver, m.id), 0u);
  }
}

TEST_F(QuillDriver, RefusedMountsChangeNothing) {
  std::string raw = MakeNtfsDisk();
  std::string vmdk = m_Dir.file("d.vmdk");
  Sh("qemu-img convert -O vmdk " + Quote(raw) + " " + Quote(vmdk));
  std::string before = Sh("sha256sum < " + Quote(vmdk));
  EXPECT_EQ(MountImage(m_Driver, vmdk, 1, true).status, ERROR_INVALID_PARAMETER);  // no partition 1
  EXPECT_EQ(MountImage(m_Driver, m_Dir.file("missing.vmdk"), 0, false).status, ERROR_FILE_NOT_FOUND);
  // Not a filesystem: a partition of zeros; a damaged NTFS ($MFT record 0 overwritten).
  std::string blank = m_Dir.file("blank.vhd");
  Sh("qemu-img convert -O vpc -o subformat=dynamic " + Quote(m_Dir.file("part.img")) + " " + Quote(m_Dir.file("p.vhd")));
  vmtest::SfdiskDisk(m_Dir.file("b.raw"), 8 << 20, "label: dos\nstart=2048, type=7\n");
  Sh("qemu-img convert -O vpc -o subformat=dynamic " + Quote(m_Dir.file("b.raw")) + " " + Quote(blank));
  EXPECT_EQ(MountImage(m_Driver, blank, 0, false).status, ERROR_UNRECOGNIZED_VOLUME);
  std::string mft = Sh("ntfsinfo -m " + Quote(m_Dir.file("part.img")) + " | sed -n 's/.*for FILE_MFT: *//p'");
  uint64_t mftByte = std::stoull(mft) * 4096 + (1 << 20);
  vmtest::PokeBytes(raw, mftByte, std::vector<uint8_t>(1024, 0xA5));
  std::string broken = m_Dir.file("broken.vmdk");
  Sh("qemu-img convert -O vmdk " + Quote(raw) + " " + Quote(broken));
  uint32_t st = MountImage(m_Driver, broken, 0, true).status;
  EXPECT_TRUE(st == ERROR_FILE_CORRUPT || st == ERROR_UNRECOGNIZED_VOLUME) << st;
  EXPECT_EQ(Sh("sha256sum < " + Quote(vmdk)), before);
}

// A hibernated volume asked for writable mounts read-only; two mounts of one volume (through a
// VHD and a VMDK of the same disk) serve three threads at once.
TEST_F(QuillDriver, HibernatedNtfsMountsReadOnlyAndMountsServeThreadsAtOnce) {
  std::string raw = MakeNtfsDisk(true);
  Sh("qemu-img convert -O vpc -o subformat=dynamic " + Quote(raw) + " " + Quote(m_Dir.file("h.vhd")));
  Sh("qemu-img convert -O vmdk " + Quote(raw) + " " + Quote(m_Dir.file("h.vmdk")));
  Mounted a = MountImage(m_Driver, m_Dir.file("h.vhd"), 0, true);
  Mounted b = MountImage(m_Driver, m_Dir.file("h.vmdk"), 0, false);
  ASSERT_EQ(a.status, 0u);
  ASSERT_EQ(b.status, 0u);
  EXPECT_NE(a.root, b.root);
  EXPECT_TRUE(a.volume->IsReadOnly());
  std::string expected = ReadWhole(*a.volume, "docs/big.bin");
  ASSERT_EQ(expected.size(), 3u << 20);
  std::atomic<int> bad{0};
  auto reader = [&](VolumeProvider* v) {
    for (int i = 0; i < 4; ++i)
      if (ReadWhole(*v, "docs/big.bin") != expected) ++bad;
  };
  auto lister = [&] {
    for (int i = 0; i < 20; ++i) {
      Listing l;
      Walk(*a.volume, u"\\", "", &l);
      if (!l.count("docs/deep")) ++bad;
    }
  };
  std::thread t1(reader, a.volume.get()), t2(reader, b.volume.get()), t3(reader, a.volume.get()), t4(lister);
  t1.join();
  t2.join();
  t3.join();
  t4.join();
  EXPECT_EQ(bad.load(), 0);
  a.volume.reset();
  b.volume.reset();
  EXPECT_EQ(Unmount(m_Driver, a.id), 0u);
  EXPECT_EQ(Unmount(m_Driver, b.id), 0u);
}

TEST(QuillRecords, BadRecordsAreRefused) {
  ContentDriver* driver = Connect();
  std::vector<uint8_t> good = MountRecordFor("/nonexistent/x.vmdk", 0, false);
  uint8_t reply[MOUNT_REPLY_BYTES];
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> poke;
    uint64_t replySize;
  } cases[] = {
      {"odd size", [](auto& r) { r.push_back(0); }, MOUNT_REPLY_BYTES},
      {"no terminator", [](auto& r) { r[r.size() - 4] = 'x'; }, MOUNT_REPLY_BYTES},
      {"trailer not zero", [](auto& r) { r.back() = 1; }, MOUNT_REPLY_BYTES},
      {"extra trailer", [](auto& r) { r.insert(r.end(), {0, 0}); }, MOUNT_REPLY_BYTES},
      {"read-only flag 2", [](auto& r) { r[1] = 2; }, MOUNT_REPLY_BYTES},
      {"empty path", [](auto& r) { r.assign(6, 0); }, MOUNT_REPLY_BYTES},
      {"short reply", [](auto&) {}, MOUNT_REPLY_BYTES - 1},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> r = good;
    c.poke(r);
    memset(reply, 0xCC, sizeof reply);
    uint64_t returned = 99;
    EXPECT_EQ(driver->IoCtl(VMMount_IoCtl_Mount, r.data(), r.size(), reply, c.replySize, &returned), ERROR_INVALID_PARAMETER)
        << c.what;
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(reply[0], 0xCC) << c.what;
  }
  uint8_t id[8] = {0x55};
  uint8_t four[4];
  EXPECT_EQ(driver->IoCtl(VMMount_IoCtl_UnMount, id, 7, nullptr, 0, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(driver->IoCtl(VMMount_IoCtl_ReadOnly, id, 8, four, 4, nullptr), ERROR_INVALID_PARAMETER);  // unknown id
  EXPECT_EQ(driver->IoCtl(VMMount_IoCtl_StopVirtualisation, id, 8, nullptr, 0, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(driver->IoCtl(VMMount_IoCtl_StopVirtualisation, nullptr, 0, nullptr, 0, nullptr), 0u);
  EXPECT_EQ(driver->IoCtl(7, nullptr, 0, nullptr, 0, nullptr), ERROR_INVALID_FUNCTION);
  // Redirection records: the device name and the three registry strings must end in the record.
  std::vector<uint8_t> file(8 + 2 * 3 + 8, 0);
  StoreLE64(file.data(), 0x55);
  StoreLE16(&file[8], 'C');
  StoreLE16(&file[10], ':');
  FileRedirectionRecord fr;
  EXPECT_EQ(ParseFileRedirectionRecord(file.data(), file.size(), &fr), 0u);
  EXPECT_EQ(fr.deviceName, u"C:");
  EXPECT_EQ(driver->IoCtl(VMMount_IoCtl_StartFileVirtualisation, file.data(), file.size(), nullptr, 0, nullptr),
            ERROR_INVALID_PARAMETER);  // unknown id
  file[file.size() - 1] = 1;
  EXPECT_EQ(ParseFileRedirectionRecord(file.data(), file.size(), &fr), ERROR_INVALID_PARAMETER);
  std::vector<uint8_t> reg(32 + 2 * (1 + 1 + 2) + 8, 0);
  StoreLE16(&reg[32 + 4], 'P');
  RegistryRedirectionRecord rr;
  EXPECT_EQ(ParseRegistryRedirectionRecord(reg.data(), reg.size(), &rr), 0u);
  EXPECT_EQ(rr.privatePath, u"P");
  EXPECT_EQ(ParseRegistryRedirectionRecord(reg.data(), reg.size() - 2, &rr), ERROR_INVALID_PARAMETER);
  driver->Release();
}

}  // namespace

// Raw .iso/.img images through the factory and the mount control's OpenVirtualDisk slot.
#include <gtest/gtest.h>

#include <cstring>

#include "disk/open_virtual_disk.h"
#include "platform/wstr.h"
#include "raw_test_disk.h"

using namespace vmtest;

namespace {

std::string MakeIso(const TempDir& dir) {
  Sh("mkdir -p " + Quote(dir.file("tree")));
  WriteAll(dir.file("tree/data.bin"), PatternBytes(100000, 7));
  Sh("xorriso -as mkisofs -quiet -o " + Quote(dir.file("cd.iso")) + " " + Quote(dir.file("tree")) + " 2>/dev/null");
  return dir.file("cd.iso");
}

}  // namespace

TEST(ISODisk, OpensReadOnlyAsOnePartitionAndChecksRanges) {
  TempDir dir;
  const std::string iso = MakeIso(dir);
  const auto bytes = ReadAll(iso);
  const uint64_t sectors = bytes.size() / 2048;

  ClearTrace();
  DiskRef disk;
  ASSERT_EQ(OpenImage(disk, iso, false), STATUS_SUCCESS);  // read-write asked, read-only given
  EXPECT_TRUE(TraceContains("VMParseErrors", "OpenVirtualDisk(\\??\\Z:"));
  EXPECT_EQ(disk->IsReadOnly(), 1);
  EXPECT_EQ(disk->Open(1), STATUS_SUCCESS);  // a second Open is a no-op
  EXPECT_EQ(std::u16string(disk->GetFileName()), NtPath(iso));
  EXPECT_EQ(GeometryOf(disk.p), (Geometry{11, 2048, sectors, 1, 1, static_cast<uint32_t>(sectors)}));
  disk->GetGeometry(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);  // all optional
  EXPECT_EQ(disk->GetPartitionCount(), 1);

  std::vector<uint8_t> buf(2 * 2048);
  ASSERT_EQ(disk->Read(sectors - 1, 1, buf.data()), STATUS_SUCCESS);
  EXPECT_EQ(0, memcmp(buf.data(), &bytes[(sectors - 1) * 2048], 2048));
  EXPECT_EQ(disk->Read(sectors, 0, buf.data()), STATUS_SUCCESS);
  ClearTrace();
  EXPECT_EQ(disk->Read(sectors - 1, 2, buf.data()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RecentTrace("VMParseErrors"),
            std::vector<std::string>{"ISODisk::Read(" + std::to_string(sectors - 1) + ",2) - read failed c000000d"});
  EXPECT_EQ(disk->Read(UINT64_MAX, 1, buf.data()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(disk->Read(sectors + 1, 0, buf.data()), STATUS_INVALID_PARAMETER);

  ClearTrace();
  EXPECT_LT(disk->Write(0, 1, buf.data()), 0);  // the handle is read-only
  EXPECT_TRUE(TraceContains("VMParseErrors", "ISODisk::Write(0,1) - write failed"));
  EXPECT_EQ(ReadAll(iso), bytes);

  // The partition: the whole image, type 2, zero id.
  Ref<vmpeek::VirtualPartition> part;
  ASSERT_EQ(disk->GetPartition(0, part.put()), STATUS_SUCCESS);
  uint8_t type = 0, id[16];
  uint64_t length = 0, first = 9;
  part->GetInfo(&type, &length, &first);
  part->GetUniqueId(id);
  EXPECT_EQ(std::make_tuple(type, length, first, Hex(id, 16)),  // the length in 512-byte units
            std::make_tuple(uint8_t{2}, sectors * 512, uint64_t{0}, std::string(32, '0')));
  const Geometry g = GeometryOf(part.p);
  EXPECT_EQ(std::make_tuple(g.bytesPerSector, g.sectors, g.cylinders), std::make_tuple(2048u, sectors, uint64_t{1}));
  ASSERT_EQ(part->Read(16, 1, buf.data()), STATUS_SUCCESS);
  EXPECT_EQ(0, memcmp(buf.data(), &bytes[16 * 2048], 2048));
}

TEST(ISODisk, RefusesBadSizesAndMissingFiles) {
  TempDir dir;
  const std::string iso = MakeIso(dir);
  Sh("truncate -s +512 " + Quote(CopyFile(iso, dir.file("odd.iso"))));
  WriteAll(dir.file("empty.img"), {});
  for (const char* name : {"odd.iso", "empty.img"}) {
    ClearTrace();
    DiskRef disk;
    EXPECT_EQ(OpenImage(disk, dir.file(name)), STATUS_INVALID_IMAGE_FORMAT) << name;
    EXPECT_EQ(disk.p, nullptr);
    EXPECT_TRUE(TraceContains("VMParseErrors",
                              "ISODisk::Open size of file is 0 or not a multiple of the sector size."));
  }
  ClearTrace();
  DiskRef missing;
  EXPECT_EQ(OpenImage(missing, dir.file("missing.iso")), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(TraceContains("VMParseErrors", "ISODisk::Open(\\??\\Z:"));
  EXPECT_TRUE(TraceContains("VMParseErrors", "missing.iso) open for R/O failed c0000034."));

  // A disk that never opened has no file to read.
  Ref<VirtualDisk> unopened(CreateISODisk(NtPath(iso).c_str()));
  std::vector<uint8_t> buf(2048);
  ClearTrace();
  EXPECT_EQ(unopened->Read(0, 1, buf.data()), STATUS_FILE_INVALID);
  EXPECT_EQ(unopened->Write(3, 1, buf.data()), STATUS_FILE_INVALID);
  EXPECT_EQ(RecentTrace("VMParseErrors"),
            (std::vector<std::string>{"ISODisk::Read(0,1) - no file", "ISODisk::Write(3,1) - no file"}));
}

TEST(OpenVirtualDisk, PicksTheClassByExtension) {
  const std::pair<const char16_t*, const char*> cases[] = {  // path, the line that says what was made
      {u"\\??\\Z:\\x\\disk.raw", "OpenVirtualDisk : unrecognised extension"},
      {u"\\??\\Z:\\dir.d\\image", "OpenVirtualDisk : no extension"},
      {u"disk.vhd", "OpenVirtualDisk : no extension"},
      {u"\\??\\Z:\\x\\disk.Vhd", "OpenVirtualDisk : Making VHDVirtualDisk"},
      {u"\\??\\Z:\\x\\disk.VUD", "OpenVirtualDisk : Making VHDVirtualDisk"},
      {u"\\??\\Z:\\x\\disk.vmdk", "OpenVirtualDisk : Making VMDKVirtualDisk"},
      {u"\\??\\Z:\\x\\disk.img", "OpenVirtualDisk : Making ISOVirtualDisk"},
      {u"\\??\\Z:\\x\\floppy.IMG", "OpenVirtualDisk : Making ISOVirtualDisk"},
  };
  for (const auto& [path, trace] : cases) {
    ClearTrace();
    Ref<VirtualDisk> disk(OpenVirtualDisk(path));
    EXPECT_TRUE(TraceContains("VMParseErrors", trace) || TraceContains("VMParseDetails", trace)) << Utf16ToUtf8(path);
    EXPECT_EQ(disk.p != nullptr, std::string(trace).find("Making") != std::string::npos);
    if (disk.p) {
      EXPECT_EQ(std::u16string(disk->GetFileName()), std::u16string(path));  // not upper-cased
    }
  }
  ClearTrace();
  EXPECT_EQ(OpenVirtualDisk(nullptr), nullptr);
  EXPECT_TRUE(TraceContains("VMParseErrors", "OpenVirtualDisk(NULL)"));

  Ref<vmpeek::VirtualDisk> disk;
  EXPECT_EQ(MountOpenVirtualDisk(u"Z:\\tmp\\x.raw", 1, disk.put()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(disk.p, nullptr);
}

TEST(VirtualDisk, ParentNameAndPartitionIndex) {
  TempDir dir;
  WriteAll(dir.file("blank.raw"), std::vector<uint8_t>(64 * 512));
  auto disk = OpenRaw(dir.file("blank.raw"));
  uint64_t size = 0;
  WCHAR name[8];
  EXPECT_EQ(disk->GetParentFileName(name, &size), STATUS_NOT_FOUND);
  disk->SetParent(u"\\??\\p.v");  // 7 characters
  size = 7;
  EXPECT_EQ(disk->GetParentFileName(name, &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(disk->GetParentFileName(nullptr, &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(disk->GetParentFileName(name, &size), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"\\??\\p.v");

  ClearTrace();
  vmpeek::VirtualPartition* untouched = reinterpret_cast<vmpeek::VirtualPartition*>(0x1);
  EXPECT_EQ(disk->GetPartition(0, &untouched), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(untouched, reinterpret_cast<vmpeek::VirtualPartition*>(0x1));
  EXPECT_TRUE(TraceContains("VMParseErrors", "VirtualDisk::GetPartition invalid partition requested 0 >= 0"));
}

// NTFS volumes written by Windows (tests/data/ntfs): listings and file hashes exactly as the
// data's README gives them, and as The Sleuth Kit reads them where it can.
#include <gtest/gtest.h>

#include "driver_helpers.h"
#include "support/test_support.h"

namespace {

using namespace quilltest;
using vmtest::Quote;
using vmtest::Sh;

std::string DataFile(const std::string& name) { return std::string(VMPEEK_SOURCE_DIR) + "/tests/data/ntfs/" + name; }

std::string Sha256(const std::string& bytes, const vmtest::TempDir& dir) {
  vmtest::WriteText(dir.file("hash.in"), bytes);
  std::string out = Sh("sha256sum " + Quote(dir.file("hash.in")));
  return out.substr(0, 64);
}

struct Known {
  const char* path;
  uint64_t size;
  const char* sha256;  // null: only the size is known
};

TEST(WindowsNtfs, VolumesReadExactlyAsListed) {
  struct Case {
    const char* image;
    bool tskReads;
    std::vector<Known> files;
  } cases[] = {
      {"ntfs-ptrn.raw.gz", true,
       {{"1.txt", 4, "94ee059335e587e501cc4bf90613e0814f00a7b08bc7c648fd865a2af6a22cc2"},
        {"2.txt", 1140, "44a78c795830a32b2652a2f0159e9d4e27981ea3767b9239b28e5856a8386f82"},
        {"os_version.txt", 44, "9a80f7daa1552ff4541122552538893484b1f0fa67cdca2909c9bb6ae8a2faf8"},
        {"System Volume Information/IndexerVolumeGuid", 76, nullptr},
        {"System Volume Information/WPSettings.dat", 12, nullptr}}},
      {"ntfs-ramslack.raw.gz", true,
       {{"1.txt", 6460, "a6e4b525ada8e4c002828819ee5ef9130feb4082a17d7ee699ca0d7711aad670"},
        {"os_version.txt", 42, "09dfb6db12795c23278b8de121f0a7319f41b2928a538b1da708c421d3964b42"},
        {"System Volume Information/IndexerVolumeGuid", 76, nullptr}}},
      {"ntfs-2m.raw.gz", false,
       {{"System Volume Information/IndexerVolumeGuid", 76, nullptr},
        {"System Volume Information/WPSettings.dat", 12, nullptr}}},
  };
  ContentDriver* driver = Connect();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    vmtest::TempDir dir;
    // The raw disk behind a VMDK descriptor with one flat extent: no copy of the gigabyte.
    Sh("gzip -dc " + Quote(DataFile(c.image)) + " > " + Quote(dir.file("disk.raw")));
    vmtest::WriteText(dir.file("disk.vmdk"),
                      "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
                      "createType=\"monolithicFlat\"\n\n# Extent description\nRW 2097152 FLAT \"disk.raw\" 0\n\n"
                      "# The Disk Data Base \n#DDB\n\nddb.virtualHWVersion = \"4\"\nddb.geometry.cylinders = \"1024\"\n"
                      "ddb.geometry.heads = \"64\"\nddb.geometry.sectors = \"32\"\n");
    Mounted m = MountImage(driver, dir.file("disk.vmdk"), 0, false);
    ASSERT_EQ(m.status, 0u);
    Listing listing;
    Walk(*m.volume, u"\\", "", &listing);
    for (const Known& k : c.files) {
      SCOPED_TRACE(k.path);
      ASSERT_TRUE(listing.count(k.path));
      EXPECT_EQ(listing[k.path].size, k.size);
      std::string data = ReadWhole(*m.volume, k.path);
      EXPECT_EQ(data.size(), k.size);
      if (k.sha256) {
        EXPECT_EQ(Sha256(data, dir), k.sha256);
      }
    }
    if (c.tskReads) CheckAgainstTsk(*m.volume, dir.file("disk.raw"), 128, true);
    m.volume.reset();
    EXPECT_EQ(Unmount(driver, m.id), 0u);
  }
  driver->Release();
}

// A Windows 7 volume with no partition table, inside a raw image, mounted as the whole disk.
TEST(WindowsNtfs, WholeDiskVolumeWithShadowCopies) {
  vmtest::TempDir dir;
  Sh("qemu-img convert -f qcow2 -O raw " + Quote(DataFile("vsstest.qcow2")) + " " + Quote(dir.file("vss.img")));
  ContentDriver* driver = Connect();
  Mounted m = MountImage(driver, dir.file("vss.img"), 255, true);
  ASSERT_EQ(m.status, 0u);
  EXPECT_TRUE(m.volume->IsReadOnly());  // a raw image is never written
  const Known files[] = {
      {"another_file", 22, "c7fbc0e821c0871805a99584c6a384533909f68a6bbe9a2a687d28d9f3b10c16"},
      {"password.txt", 116, "02a2a6af2f1ecf4720d7d49d640f0d0a269a7ec733e41973bdd34f09dad0e252"},
      {"syslog.gz", 540, "841c1522cad7c594eb63c6544f9ea22a08dc56351f17b6fe14149dfd4b4fb64c"},
  };
  for (const Known& k : files) EXPECT_EQ(Sha256(ReadWhole(*m.volume, k.path), dir), k.sha256) << k.path;
  CheckAgainstTsk(*m.volume, dir.file("vss.img"), 0, true);
  m.volume.reset();
  EXPECT_EQ(Unmount(driver, m.id), 0u);
  driver->Release();
}

}  // namespace

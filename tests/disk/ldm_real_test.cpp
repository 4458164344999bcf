// LDM databases written by real Windows Server 2003 R2 and 2008 R2 systems (tests/data/ldm): on
// every MBR-kind disk, discovery lists the partitions ldmtool places on that disk, and no partition
// of another disk of the group; GPT-kind disks list their GPT entries.
#include <gtest/gtest.h>

#include <filesystem>

#include "ldm_oracle.h"
#include "raw_test_disk.h"

using namespace vmtest;

TEST(LdmRealDisks, ListThePartitionsLdmtoolPlacesOnEachDisk) {
  TempDir dir;
  Sh("tar -xJf " + Quote(std::string(VMPEEK_SOURCE_DIR) + "/tests/data/ldm/ldm-data.tar.xz") + " -C " + Quote(dir.path()));
  std::vector<std::string> images;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) images.push_back(entry.path());
  ASSERT_EQ(images.size(), 19u);
  auto oracle = LdmtoolRowsByDisk(images, 63);
  int gptKind = 0;
  for (const std::string& image : images) {
    SCOPED_TRACE(image);
    ClearTrace();
    auto disk = OpenRaw(image);
    const auto rows = Rows(disk.p);
    if (ReadBytes(image, 446 + 4, 1)[0] == 0xEE) {
      // A dynamic disk of the GPT kind: only a sector-0 0x42 entry leads to LDM, so its GPT
      // entries (LDM metadata, Microsoft reserved, LDM data) are the rows, as sfdisk lists them.
      ++gptKind;
      ExpectSfdiskGptRows(disk.p, image);
      EXPECT_EQ(rows.back().type, 0x42);  // the LDM data partition
      continue;
    }
    const auto& expected = oracle[image];
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(SortedWithoutType(rows), expected);
    for (const Row& r : rows) EXPECT_EQ(r.type, 0x07) << r;  // NTFS volumes
    EXPECT_TRUE(RecentTrace("VMParseErrors").empty());
  }
  EXPECT_EQ(gptKind, 5);
}

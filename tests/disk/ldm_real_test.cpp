// LDM databases written by real Windows Server 2003 R2 and 2008 R2 systems (tests/data/ldm): on
// every MBR-kind disk, discovery lists the partitions ldmtool places on that disk, and no partition
// of another disk of the group; GPT-kind disks list their GPT entries.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "disk/gpt_table.h"
#include "ldm_oracle.h"
#include "raw_test_disk.h"
#include "support/test_support.h"
#include "support/trace_capture.h"

using namespace vmtest;

namespace {
const std::string kTarball = std::string(VMPEEK_SOURCE_DIR) + "/tests/data/ldm/ldm-data.tar.xz";
}

TEST(LdmRealDisks, ListThePartitionsLdmtoolPlacesOnEachDisk) {
  TempDir dir;
  ASSERT_EQ(vmtest::Run("tar -xJf " + Quote(kTarball) + " -C " + Quote(dir.path())), 0);
  std::string names;
  ASSERT_EQ(vmtest::Run("cd " + Quote(dir.path()) + " && ls *.img", &names), 0);
  std::vector<std::string> images;
  for (size_t at = 0, end; (end = names.find('\n', at)) != std::string::npos; at = end + 1)
    images.push_back(dir.file(names.substr(at, end - at)));
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
      EXPECT_EQ(DiskGetPartitionScheme(disk.p), vmpeek::PartitionSchemeGpt);
      const auto table = nlohmann::json::parse(Sh("sfdisk --json " + Quote(image)))["partitiontable"]["partitions"];
      ASSERT_EQ(rows.size(), table.size());
      for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].first, table[i]["start"].get<uint32_t>()) << rows[i];
        EXPECT_EQ(rows[i].count, table[i]["size"].get<uint32_t>()) << rows[i];
      }
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

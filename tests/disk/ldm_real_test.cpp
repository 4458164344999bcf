// LDM databases written by real Windows Server 2003 R2 and 2008 R2 systems (public test data):
// discovery must list the partitions ldmtool lists.
#include <gtest/gtest.h>

#include "ldm_oracle.h"
#include "raw_test_disk.h"
#include "support/test_support.h"
#include "support/trace_capture.h"

using namespace vmtest;

namespace {
// Real dynamic disks from public test data, in the shared folder beside the source tree.
const std::string kTarball = std::string(VMPEEK_SOURCE_DIR) + "/../shared/realdata/ldm/ldm-data.tar.xz";
}

TEST(LdmRealDisks, ListTheSamePartitionsAsLdmtool) {
  TempDir dir;
  const char* names[] = {"ldm-2003r2-simple-1.img", "ldm-2003r2-raid5-2.img", "ldm-2008r2-spanned-1.img",
                         "ldm-2008r2-striped-1.img"};
  std::string list = " ldm-2008r2-mirrored-2.img";
  for (const char* n : names) list += std::string(" ") + n;
  ASSERT_EQ(vmtest::Run("tar -xJf " + Quote(kTarball) + " -C " + Quote(dir.path()) + " --wildcards" + list), 0);
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const std::string image = dir.file(name);
    ClearTrace();
    auto disk = OpenRaw(image);
    const auto rows = Rows(disk.p);
    ASSERT_FALSE(rows.empty());
    for (const Row& r : rows) EXPECT_EQ(r.type, 0x07) << r;  // NTFS volumes
    const auto expected = LdmtoolRows(image, 63);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(SortedWithoutType(rows), expected);
    EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessLDMDisk Found a volume"));
    EXPECT_TRUE(RecentTrace("VMParseErrors").empty());
  }

  // A dynamic disk of the GPT kind: its GPT entries are the rows (LDM metadata, Microsoft
  // reserved, LDM data, as sgdisk lists them); only sector-0 0x42 entries lead to LDM.
  auto gpt = OpenRaw(dir.file("ldm-2008r2-mirrored-2.img"));
  ASSERT_EQ(gpt->GetPartitionCount(), 3);
  EXPECT_EQ(Rows(gpt.p)[2], (Row{0x42, 65570, 36797, Rows(gpt.p)[2].id}));
}

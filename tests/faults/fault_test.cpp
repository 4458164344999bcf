// Every step of the writes that grow an image fails in turn: once (then the write is retried),
// from that step on (a crash), and for real under file size limits. The image must still open,
// read its old data, hold old or new data where the write went, and agree with qemu-img.
#include <gtest/gtest.h>

#include "faults/fault_harness.h"

namespace faulttest {
namespace {

using Maker = ImageKind (*)(const vmtest::TempDir&);

struct Case {
  const char* name;
  Maker make;
  int minSteps;  // the growing write has at least this many steps
};

class GrowingWrite : public testing::TestWithParam<Case> {};

TEST_P(GrowingWrite, SurvivesAFaultAtEveryStep) {
  vmtest::TempDir dir;
  FaultRunner runner(dir, GetParam().make(dir));
  ASSERT_TRUE(runner.Prepare());
  EXPECT_GE(runner.RunHookTrials(FaultMode::kOnlyNth), GetParam().minSteps);
  EXPECT_GE(runner.RunHookTrials(FaultMode::kFromNth), GetParam().minSteps);
  EXPECT_GT(runner.RunLimitTrials(), 0);
}

INSTANTIATE_TEST_SUITE_P(Images, GrowingWrite,
                         testing::Values(Case{"VhdDynamic", MakeVhdDynamic, 6},
                                         Case{"VhdDifferencing", MakeVhdDifferencing, 4},
                                         Case{"VhdContinuation", MakeVhdContinuation, 6},
                                         Case{"VmdkSparse", MakeVmdkSparse, 4},
                                         Case{"VmdkChild", MakeVmdkChild, 4},
                                         Case{"EsxSparse", MakeEsxSparse, 5}),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace faulttest

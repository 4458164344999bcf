// The shared parse channels are opened on first use by whichever host threads arrive first:
// every thread must end with the same channels (run under VMPEEK_TSAN to see the race itself).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "disk/open_virtual_disk.h"
#include "module/parse_trace.h"

TEST(ParseTraceChannels, FirstUseFromManyThreadsOpensEachChannelOnce) {
  OpenParseTraceChannels();
  const TraceChannel errors = g_VMParseErrors, details = g_VMParseDetails;
  ASSERT_NE(errors, 0);
  ASSERT_NE(details, 0);
  for (int round = 0; round < 20; ++round) {
    g_VMParseErrors = 0;  // as before the first factory call
    g_VMParseDetails = 0;
    std::vector<std::thread> threads;
    std::vector<TraceChannel> seen(8 * 2);
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        EXPECT_EQ(OpenVirtualDisk(nullptr), nullptr);  // opens the channels, then traces the null path
        seen[2 * t] = g_VMParseErrors;
        seen[2 * t + 1] = g_VMParseDetails;
      });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) {
      EXPECT_EQ(seen[2 * t], errors) << "thread " << t;
      EXPECT_EQ(seen[2 * t + 1], details) << "thread " << t;
    }
  }
}

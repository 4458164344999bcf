// The trace library as the module uses it: Windows printf conventions in the lines it writes,
// the line layout, truncation, and the remembered lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "module/trace.h"
#include "platform/loader.h"
#include "support/test_support.h"
#include "support/trace_capture.h"
#include "vexlog/vexlog_api.h"

namespace {

class TraceFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadTraceLibrary());
    m_Configure = reinterpret_cast<PFN_VexlogConfigure>(GetProcAddress(static_cast<HMODULE>(TraceLibraryModule()), "VexlogConfigure"));
    ASSERT_NE(nullptr, m_Configure);
    m_Channel = OpenTraceChannel(u"VMTestFormat");
    ASSERT_NE(0, m_Channel);
    vmtest::ClearTrace();
  }
  void TearDown() override {
    SetDefaultTraceChannel(0);
    if (m_Configure) m_Configure(getenv("VEXLOG"), getenv("VEXLOG_FILE"));
  }

  std::vector<std::string> FileLines() {
    std::istringstream in(std::string(reinterpret_cast<const char*>(vmtest::ReadAll(m_Log).data()),
                                      vmtest::ReadAll(m_Log).size()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  vmtest::TempDir m_Dir;
  std::string m_Log = m_Dir.file("trace.log");
  PFN_VexlogConfigure m_Configure = nullptr;
  TraceChannel m_Channel = 0;
};

TEST_F(TraceFormat, WindowsConventionsInBothWidths) {
  TraceTo(m_Channel, u"status %08lx at %I64d of %s/%hs %c%% %5d|%-3u|%X\n",
          static_cast<int32_t>(0xC0000034), static_cast<int64_t>(-5000000000LL), u"d\u00efsk", "raw",
          static_cast<int>(u'Z'), 42, 7u, 0xBEEFu);
  SetDefaultTraceChannel(m_Channel);
  TraceNarrow("narrow %s %ls %lx %I64x %llu\n", "eight", u"sixteen \u00e9", static_cast<int32_t>(-1),
              static_cast<uint64_t>(0x123456789ABULL), static_cast<unsigned long long>(18446744073709551615ULL));
  Trace(u"two\nlines\n");
  std::vector<std::string> lines = vmtest::RecentTrace("VMTestFormat");
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("status c0000034 at -5000000000 of d\u00efsk/raw Z%    42|7  |BEEF", lines[0]);
  EXPECT_EQ("narrow eight sixteen \u00e9 ffffffff 123456789ab 18446744073709551615", lines[1]);
  EXPECT_EQ("two", lines[2]);
  EXPECT_EQ("lines", lines[3]);
}

TEST_F(TraceFormat, LongLinesAreCut) {
  std::u16string longText(10000, u'a');
  TraceTo(m_Channel, u"%s and %d\n", longText.c_str(), 5);
  std::string narrowLong(9000, 'b');
  TraceTo(m_Channel, u"%hs\n", narrowLong.c_str());
  std::vector<std::string> lines = vmtest::RecentTrace("VMTestFormat");
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(4095u, lines[0].size());
  EXPECT_EQ(std::string(4095, 'a'), lines[0]);
  EXPECT_EQ(std::string(4095, 'b'), lines[1]);
  // A two-unit character cut in half is dropped, not written as half a character.
  std::u16string pairs = u"x";
  for (int i = 0; i < 3000; ++i) pairs += u"\U0001F600";
  TraceTo(m_Channel, u"%s", pairs.c_str());
  lines = vmtest::RecentTrace("VMTestFormat");
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(1u + 2047u * 4u, lines[2].size());
}

TEST_F(TraceFormat, WrittenLinesCarryTimeThreadAndChannel) {
  m_Configure("VMTestFormat,Other", m_Log.c_str());
  TraceChannel quiet = OpenTraceChannel(u"VMTestQuiet");
  TraceTo(m_Channel, u"first %d\n", 1);
  TraceTo(quiet, u"not written\n");
  TraceTo(OpenTraceChannel(u"Other"), u"second\n");
  m_Configure("all", m_Log.c_str());
  TraceTo(quiet, u"now written\n");
  m_Configure(nullptr, m_Log.c_str());
  TraceTo(m_Channel, u"off again\n");

  std::vector<std::string> lines = FileLines();
  ASSERT_EQ(3u, lines.size());
  std::regex layout(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+ (\w+): (.*))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, layout)) << lines[0];
  EXPECT_EQ("VMTestFormat", m[1]);
  EXPECT_EQ("first 1", m[2]);
  ASSERT_TRUE(std::regex_match(lines[1], m, layout)) << lines[1];
  EXPECT_EQ("Other", m[1]);
  ASSERT_TRUE(std::regex_match(lines[2], m, layout)) << lines[2];
  EXPECT_EQ("VMTestQuiet", m[1]);
  EXPECT_EQ("now written", m[2]);
  // Whatever is written, every line is remembered.
  EXPECT_TRUE(vmtest::TraceContains("VMTestQuiet", "not written"));
  EXPECT_TRUE(vmtest::TraceContains("VMTestFormat", "off again"));
}

TEST_F(TraceFormat, RemembersTheLast256LinesUnderConcurrentWriters) {
  m_Configure("VMTestFormat", m_Log.c_str());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < 200; ++i) TraceTo(m_Channel, u"thread %d line %03d\n", t, i);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(800u, FileLines().size());
  std::vector<std::string> lines = vmtest::RecentTrace("VMTestFormat");
  ASSERT_EQ(256u, lines.size());
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, std::regex("thread \\d line \\d{3}"))) << line;

  vmtest::ClearTrace();
  EXPECT_TRUE(vmtest::RecentTrace("VMTestFormat").empty());
  EXPECT_TRUE(vmtest::RecentTrace("NoSuchChannel").empty());
}

}  // namespace

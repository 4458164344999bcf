// The rules by which the module accepts or refuses a trace library, with libraries whose
// "vexlogexports1" tables differ in one field each.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>

#include "module/trace.h"
#include "platform/loader.h"
#include "platform/path.h"
#include "vexlog/vexlog_api.h"

namespace {

std::string FakePath(const std::string& name) { return VMPEEK_BUILD_DIR "/lib/libvexlogtest_" + name + ".so"; }

bool IsLoaded(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

class TraceLoading : public ::testing::Test {
 protected:
  void SetUp() override {
    StartTracing();
    UnloadTraceLibrary();
  }
  void TearDown() override {
    if (m_Counts) FreeLibrary(m_Counts);
    UnloadTraceLibrary();
    SetTraceLibraryNameForTesting(nullptr);
    LoadTraceLibrary();
  }

  // Loads through the module with the library name "vexlogtest_<name>.dll".
  bool LoadFake(const std::u16string& name) {
    m_Name = u"vexlogtest_" + name + u".dll";
    SetTraceLibraryNameForTesting(m_Name.c_str());
    return LoadTraceLibrary();
  }

  // How often the loaded fake library's call `what` ran (holds a reference of its own).
  int Count(const std::string& name, const char* what) {
    if (!m_Counts) m_Counts = LoadLibraryW(PlatformPosixToWindows(FakePath(name)).c_str());
    auto count = reinterpret_cast<int (*)(const char*)>(GetProcAddress(m_Counts, "FakeVexlogCount"));
    return count ? count(what) : -1;
  }

  std::u16string m_Name;
  HMODULE m_Counts = nullptr;
};

TEST_F(TraceLoading, MissingLibraryMakesEveryCallANoOpAndIsRetried) {
  m_Name = u"vexlog_not_installed.dll";
  SetTraceLibraryNameForTesting(m_Name.c_str());
  EXPECT_FALSE(LoadTraceLibrary());
  EXPECT_EQ(nullptr, TraceLibraryModule());
  EXPECT_EQ(0, OpenTraceChannel(u"VMParseErrors"));
  SetDefaultTraceChannel(5);
  Trace(u"dropped %d\n", 1);
  TraceTo(7, u"dropped %s\n", u"x");
  TraceNarrow("dropped %s\n", "x");
  UnloadTraceLibrary();

  // A later attempt loads the library once it is there.
  EXPECT_TRUE(LoadFake(u"good"));
  EXPECT_TRUE(IsLoaded(FakePath("good")));
  EXPECT_EQ(1, Count("good", "Open"));
}

TEST_F(TraceLoading, RefusedTablesFreeTheLibrary) {
  for (const char16_t* name : {u"badmagic", u"v2", u"v5o4", u"open0"}) {
    std::string narrow(name, name + std::char_traits<char16_t>::length(name));
    EXPECT_FALSE(LoadFake(name)) << narrow;
    EXPECT_FALSE(IsLoaded(FakePath(narrow))) << narrow;
    EXPECT_EQ(0, OpenTraceChannel(u"VMParseErrors")) << narrow;
    Trace(u"dropped\n");
  }
}

TEST_F(TraceLoading, NewerVersionStillCompatibleIsUsed) {
  ASSERT_TRUE(LoadFake(u"v5o3"));
  EXPECT_TRUE(LoadTraceLibrary());  // already loaded: no second Open
  EXPECT_EQ(1, Count("v5o3", "Open"));
  TraceChannel channel = OpenTraceChannel(u"VMParseErrors");
  EXPECT_NE(0, channel);
  SetDefaultTraceChannel(channel);
  Trace(u"a %d\n", 1);
  TraceTo(channel, u"b %d\n", 2);
  TraceNarrow("c %d\n", 3);
  EXPECT_EQ(2, Count("v5o3", "PrintW"));
  EXPECT_EQ(1, Count("v5o3", "PrintA"));
  EXPECT_EQ(1, Count("v5o3", "SetDefaultChannel"));

  UnloadTraceLibrary();
  EXPECT_EQ(1, Count("v5o3", "Close"));
  UnloadTraceLibrary();  // nothing left to close
  EXPECT_EQ(1, Count("v5o3", "Close"));
  Trace(u"dropped\n");
  EXPECT_EQ(2, Count("v5o3", "PrintW"));
  FreeLibrary(m_Counts);
  m_Counts = nullptr;
  EXPECT_FALSE(IsLoaded(FakePath("v5o3")));
}

TEST_F(TraceLoading, NullPrintWDisablesOnlyUtf16Lines) {
  ASSERT_TRUE(LoadFake(u"noprintw"));
  TraceChannel channel = OpenTraceChannel(u"Mine");
  EXPECT_NE(0, channel);
  Trace(u"dropped %d\n", 1);
  TraceTo(channel, u"dropped %d\n", 2);
  TraceNarrow("kept %d\n", 3);
  EXPECT_EQ(1, Count("noprintw", "PrintA"));
  EXPECT_EQ(1, Count("noprintw", "OpenChannel"));
}

TEST_F(TraceLoading, ChannelQueryFollowsTheOutputConfiguration) {
  // No library: nothing is written. A table without the query (version 3 layout): assume written.
  m_Name = u"vexlog_not_installed.dll";
  SetTraceLibraryNameForTesting(m_Name.c_str());
  EXPECT_FALSE(TraceChannelWritten(7));
  ASSERT_TRUE(LoadFake(u"v5o3"));
  EXPECT_TRUE(TraceChannelWritten(OpenTraceChannel(u"VMParseDetails")));
  UnloadTraceLibrary();

  SetTraceLibraryNameForTesting(nullptr);
  ASSERT_TRUE(LoadTraceLibrary());
  auto configure = reinterpret_cast<PFN_VexlogConfigure>(
      GetProcAddress(static_cast<HMODULE>(TraceLibraryModule()), "VexlogConfigure"));
  ASSERT_NE(configure, nullptr);
  const TraceChannel errors = OpenTraceChannel(u"VMParseErrors");
  const TraceChannel details = OpenTraceChannel(u"VMParseDetails");
  struct Case {
    const char* channels;
    bool errorsWritten, detailsWritten;
  } cases[] = {{"VMParseErrors", true, false}, {"all", true, true}, {"", false, false}, {" vmparsedetails", false, true}};
  for (const Case& c : cases) {
    configure(c.channels, "/dev/null");
    EXPECT_EQ(TraceChannelWritten(errors), c.errorsWritten) << c.channels;
    EXPECT_EQ(TraceChannelWritten(details), c.detailsWritten) << c.channels;
  }
  configure(getenv("VEXLOG"), getenv("VEXLOG_FILE"));
}

}  // namespace

// Whole-table dumps on the detail channel are formatted only while someone records the channel:
// opening a large sparse image must not pay for text nobody reads.
#include <gtest/gtest.h>

#include "module/trace.h"
#include "platform/loader.h"
#include "support/image_support.h"
#include "support/trace_capture.h"
#include "vexlog/vexlog_api.h"

using namespace vmtest;

namespace {

void ConfigureTrace(const char* channels, const char* file) {
  LoadTraceLibrary();
  auto configure = reinterpret_cast<PFN_VexlogConfigure>(
      GetProcAddress(static_cast<HMODULE>(TraceLibraryModule()), "VexlogConfigure"));
  ASSERT_NE(configure, nullptr);
  configure(channels, file);
}

}  // namespace

TEST(DetailDump, TablesAreDumpedOnlyWhenTheDetailChannelIsWritten) {
  TempDir dir;
  const std::string raw = SfdiskDisk(dir.file("d.raw"), 8 << 20, "start=2048, type=7");
  const char* const cases[][3] = {  // image, qemu-img options, a line only the table dump writes
      {"d.vmdk", "-O vmdk -o subformat=monolithicSparse", "GrainTable[  0] @ sector"},
      {"d.vhd", "-O vpc -o subformat=dynamic", "blocks are resident"}};
  for (const auto& [image, qemuOptions, dumpLine] : cases) {
    SCOPED_TRACE(image);
    Sh(std::string("qemu-img convert -q -f raw ") + qemuOptions + " " + Quote(raw) + " " + Quote(dir.file(image)));
    for (const char* channels : {"VMParseErrors", "VMParseDetails"}) {
      ConfigureTrace(channels, "/dev/null");
      ClearTrace();
      DiskRef disk;
      ASSERT_EQ(OpenImage(disk, dir.file(image)), 0);
      const bool recorded = std::string(channels) == "VMParseDetails";
      EXPECT_EQ(TraceContains("VMParseDetails", dumpLine), recorded) << channels;
      // The short detail lines stay, recorded or not.
      EXPECT_TRUE(TraceContains("VMParseDetails", "OpenVirtualDisk(")) << channels;
    }
  }
  ConfigureTrace(getenv("VEXLOG"), getenv("VEXLOG_FILE"));
}

// OpenVirtualMachine: the reader chosen by the extension in any case, and the paths refused with
// status 87 (the mount control's slot that forwards to it is called in the foundation tests).
#include <gtest/gtest.h>

#include "support/trace_capture.h"
#include "vm/virtual_machine.h"
#include "vm_test_util.h"

using namespace vmtest;

TEST(OpenVirtualMachine, ChoosesTheReaderByExtension) {
  TempDir dir;
  WriteText(dir.file("Test.vmx"), "scsi0:0.fileName = \"a.vmdk\"\n" + std::string(100, '#') + "\n");
  WriteText(dir.file("Test.vmc"), "<preferences><hardware/></preferences>");
  struct Row {
    std::u16string path;
    uint32_t status;
    std::string line;
  };
  const Row rows[] = {
      {WinPath(dir.file("Test.vmx")), 0, "OpenVirtualMachine : Making CVMWareVirtualMachine"},
      // The file itself is found ignoring case too.
      {WinPath(dir.file("test.VMX")), 0, "OpenVirtualMachine : Making CVMWareVirtualMachine"},
      {WinPath(dir.file("Test.vmc")), 0, "OpenVirtualMachine : Making CMicrosoftVirtualMachine"},
      {u"Test.vmx", 87, "OpenVirtualMachine : no extension"},
      {u"E:\\VMs.old\\Test", 87, "OpenVirtualMachine : no extension"},
      {u"E:\\VMs\\Test.vmx.bak", 87, "OpenVirtualMachine : unrecognised extension"},
      {u"E:\\VMs\\Test.VMXX", 87, "OpenVirtualMachine : unrecognised extension"},
      {u"E:\\VMs\\Test.", 87, "OpenVirtualMachine : unrecognised extension"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Utf16ToUtf8(row.path));
    ClearTrace();
    vmpeek::CVirtualMachine* m = reinterpret_cast<vmpeek::CVirtualMachine*>(1);
    EXPECT_EQ(OpenVirtualMachine(row.path.c_str(), &m), row.status);
    EXPECT_TRUE(TraceContains("VMParseErrors", "OpenVirtualMachine(" + Utf16ToUtf8(row.path) + ")"));
    EXPECT_TRUE(TraceContains(row.status ? "VMParseErrors" : "VMParseDetails", row.line));
    if (row.status != 0) {
      EXPECT_EQ(m, nullptr);
      continue;
    }
    ASSERT_NE(m, nullptr);
    // The object keeps the path as received, not upper-cased.
    EXPECT_EQ(std::u16string(static_cast<CVirtualMachine*>(m)->Path()), row.path);
    EXPECT_EQ(m->AddRef(), 2u);
    m->Release();
    m->Release();
  }

  ClearTrace();
  vmpeek::CVirtualMachine* m = reinterpret_cast<vmpeek::CVirtualMachine*>(1);
  EXPECT_EQ(OpenVirtualMachine(nullptr, &m), 87u);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(RecentTrace("VMParseErrors"), std::vector<std::string>{"OpenVirtualMachine(NULL)"});
  EXPECT_TRUE(RecentTrace("VMParseDetails").empty());
}

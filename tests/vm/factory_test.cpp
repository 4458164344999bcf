// OpenVirtualMachine: reader choice by extension and the failures with status 87 (the mount
// control's slot that forwards to it is called in the foundation tests).
#include <gtest/gtest.h>

#include "support/trace_capture.h"
#include "vm/virtual_machine.h"
#include "vm_test_util.h"

using namespace vmtest;

TEST(OpenVirtualMachine, ChoosesTheReaderByExtension) {
  TempDir dir;
  const std::string vmx = "scsi0:0.fileName = \"a.vmdk\"\n" + std::string(100, '#') + "\n";
  WriteText(dir.file("Test.vmx"), vmx);
  WriteText(dir.file("Test.vmc"), "<preferences><hardware/></preferences>");

  // Any case of the extension picks the reader; the file itself is found ignoring case too.
  for (const char* name : {"Test.vmx", "test.VMX", "TEST.Vmx"}) {
    SCOPED_TRACE(name);
    ClearTrace();
    std::u16string path = WinPath(dir.file(name));
    vmpeek::CVirtualMachine* m = reinterpret_cast<vmpeek::CVirtualMachine*>(1);
    ASSERT_EQ(OpenVirtualMachine(path.c_str(), &m), 0u);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->GetDiskCount(), 1);
    // The object keeps the path as received, not upper-cased.
    EXPECT_EQ(std::u16string(static_cast<CVirtualMachine*>(m)->Path()), path);
    EXPECT_TRUE(TraceContains("VMParseDetails", "OpenVirtualMachine : Making CVMWareVirtualMachine"));
    EXPECT_TRUE(TraceContains("VMParseErrors", "OpenVirtualMachine(" + Utf16ToUtf8(path) + ")"));
    EXPECT_EQ(m->AddRef(), 2u);
    m->Release();
    m->Release();
  }

  ClearTrace();
  Machine ms;
  OpenMachine(dir.file("Test.vmc"), &ms);
  EXPECT_EQ(ms.status, 0u);
  EXPECT_TRUE(TraceContains("VMParseDetails", "OpenVirtualMachine : Making CMicrosoftVirtualMachine"));
}

TEST(OpenVirtualMachine, RejectsNullAndUnknownExtensions) {
  struct Row {
    const char16_t* path;
    const char* line;
  };
  const Row rows[] = {
      {u"Test.vmx", "OpenVirtualMachine : no extension"},
      {u"E:\\VMs.old\\Test", "OpenVirtualMachine : no extension"},
      {u"E:\\VMs\\Test.vmx.bak", "OpenVirtualMachine : unrecognised extension"},
      {u"E:\\VMs\\Test.VMXX", "OpenVirtualMachine : unrecognised extension"},
      {u"E:\\VMs\\Test.", "OpenVirtualMachine : unrecognised extension"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    ClearTrace();
    vmpeek::CVirtualMachine* m = reinterpret_cast<vmpeek::CVirtualMachine*>(1);
    EXPECT_EQ(OpenVirtualMachine(row.path, &m), 87u);
    EXPECT_EQ(m, nullptr);
    auto errors = RecentTrace("VMParseErrors");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "OpenVirtualMachine(" + Utf16ToUtf8(row.path) + ")");
    EXPECT_EQ(errors[1], row.line);
  }

  ClearTrace();
  vmpeek::CVirtualMachine* m = reinterpret_cast<vmpeek::CVirtualMachine*>(1);
  EXPECT_EQ(OpenVirtualMachine(nullptr, &m), 87u);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(RecentTrace("VMParseErrors"), std::vector<std::string>{"OpenVirtualMachine(NULL)"});
  EXPECT_TRUE(RecentTrace("VMParseDetails").empty());
}

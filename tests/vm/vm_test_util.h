// Opening virtual machine configurations and configuration text stores from tests.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/wstr.h"
#include "support/test_support.h"
#include "vm/cfg_ball.h"
#include "vm/open_virtual_machine.h"

namespace vmtest {

// Releases a reference-counted object at scope end.
struct Releaser {
  template <class T>
  void operator()(T* p) const {
    p->Release();
  }
};

struct Machine {
  std::unique_ptr<vmpeek::CVirtualMachine, Releaser> p;
  uint32_t status = 0;
  vmpeek::CVirtualMachine* operator->() const { return p.get(); }
  std::vector<std::string> Disks() const {
    std::vector<std::string> names;
    for (int32_t i = 0; i < p->GetDiskCount(); ++i) names.push_back(Utf16ToUtf8(p->GetDiskName(i)));
    return names;
  }
};

// Opens the configuration at a POSIX path through the factory.
inline void OpenMachine(const std::string& posix, Machine* m) {
  vmpeek::CVirtualMachine* made = nullptr;
  m->status = OpenVirtualMachine(WinPath(posix).c_str(), &made);
  m->p.reset(made);
}

// Writes text as dir/name and opens it.
inline void OpenText(const TempDir& dir, const std::string& name, const std::string& text, Machine* m) {
  WriteText(dir.file(name), text);
  OpenMachine(dir.file(name), m);
}

using Ball = std::unique_ptr<CfgBall, Releaser>;
using Names = std::unique_ptr<CfgBallEnum, Releaser>;

inline Ball MakeBall(const std::u16string& text) {
  Ball b(CreateCfgBall());
  EXPECT_TRUE(b->SetText(text.data(), text.size()));
  return b;
}

inline std::u16string TextOf(CfgBall* b) {
  std::u16string t(b->GetText(nullptr, 0), u'\0');
  t.resize(b->GetText(t.data(), t.size()));
  return t;
}

}  // namespace vmtest

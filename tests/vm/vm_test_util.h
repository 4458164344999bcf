// Opening virtual machine configurations from tests.
#pragma once
#include <string>
#include <vector>

#include "platform/wstr.h"
#include "support/test_support.h"
#include "vm/open_virtual_machine.h"

namespace vmtest {

struct Machine {
  vmpeek::CVirtualMachine* p = nullptr;
  uint32_t status = 0;
  Machine() = default;
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;
  ~Machine() {
    if (p) p->Release();
  }
  vmpeek::CVirtualMachine* operator->() const { return p; }
  std::vector<std::string> Disks() const {
    std::vector<std::string> names;
    for (int32_t i = 0; i < p->GetDiskCount(); ++i) names.push_back(Utf16ToUtf8(p->GetDiskName(i)));
    return names;
  }
};

// Opens the configuration at a POSIX path through the factory.
inline void OpenMachine(const std::string& posix, Machine* m) {
  m->status = OpenVirtualMachine(WinPath(posix).c_str(), &m->p);
}

}  // namespace vmtest

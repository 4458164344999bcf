// Placeholder until the configuration readers land.
#include "vm/open_virtual_machine.h"
uint32_t OpenVirtualMachine(const WCHAR*, vmpeek::CVirtualMachine** machine) {
  if (machine) *machine = nullptr;
  return 87;
}

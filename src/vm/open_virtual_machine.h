// The virtual machine factory: picks the configuration reader by extension.
#pragma once
#include "vmpeek/vmpeek.h"

// Win32 status (0, 87, or the reader's Open status); *machine is always written.
uint32_t OpenVirtualMachine(const WCHAR* path, vmpeek::CVirtualMachine** machine);

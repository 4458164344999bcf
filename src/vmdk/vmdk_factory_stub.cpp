// Placeholder until the VMDK image class lands.
#include "disk/open_virtual_disk.h"
VirtualDisk* CreateVMDKVirtualDisk(const WCHAR*) { return nullptr; }

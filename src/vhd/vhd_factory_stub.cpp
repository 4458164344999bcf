// Placeholder until the VHD image class lands.
#include "disk/open_virtual_disk.h"
VirtualDisk* CreateVHDVirtualDisk(const WCHAR*) { return nullptr; }

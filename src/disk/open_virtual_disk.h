// The disk image factory: picks the image class by extension.
#pragma once
#include "disk/virtual_disk.h"

// A new, not yet opened image (one reference), or null with an error trace.
VirtualDisk* OpenVirtualDisk(const WCHAR* path);

// Constructors of the image classes, each defined beside its class; null when out of memory.
VirtualDisk* CreateISODisk(const WCHAR* path);
VirtualDisk* CreateVHDVirtualDisk(const WCHAR* path);
VirtualDisk* CreateVMDKVirtualDisk(const WCHAR* path);

// The mount control's slot 3: ToNtPath, the factory, Open; releases the image when Open fails.
NTSTATUS MountOpenVirtualDisk(const WCHAR* path, uint8_t readOnly, vmpeek::VirtualDisk** disk);
// The same with the purpose of the open (the disk inspection interface opens whole disks).
NTSTATUS OpenVirtualDiskFor(VirtualDisk::OpenPurpose purpose, const WCHAR* path, uint8_t readOnly,
                            vmpeek::VirtualDisk** disk);

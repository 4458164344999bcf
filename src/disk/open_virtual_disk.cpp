// The disk image factory (picks the image class by extension) and the mount control's
// OpenVirtualDisk slot.
#include "disk/open_virtual_disk.h"

#include <cstdlib>

#include "module/parse_trace.h"
#include "mount/to_nt_path.h"
#include "platform/wstr.h"

VirtualDisk* OpenVirtualDisk(const WCHAR* path) {
  OpenParseTraceChannels();
  if (path == nullptr) {
    TRACE_ERR(u"OpenVirtualDisk(NULL)\n");
    return nullptr;
  }
  TRACE_ERR(u"OpenVirtualDisk(%s)\n", path);
  TRACE_DETAIL(u"OpenVirtualDisk(%s)\n", path);

  WCHAR* upper = WStrDup(path);
  if (upper == nullptr) return nullptr;
  WStrUpper(upper);
  const WCHAR* slash = WStrRChr(upper, u'\\');
  const WCHAR* dot = WStrRChr(upper, u'.');
  if (slash == nullptr || dot == nullptr || dot < slash) {
    TRACE_ERR(u"OpenVirtualDisk : no extension\n");
    free(upper);
    return nullptr;
  }
  VirtualDisk* disk = nullptr;
  if (WStrCmp(dot, u".VHD") == 0 || WStrCmp(dot, u".VUD") == 0) {
    TRACE_DETAIL(u"OpenVirtualDisk : Making VHDVirtualDisk\n");
    disk = CreateVHDVirtualDisk(path);
  } else if (WStrCmp(dot, u".VMDK") == 0) {
    TRACE_DETAIL(u"OpenVirtualDisk : Making VMDKVirtualDisk\n");
    disk = CreateVMDKVirtualDisk(path);
  } else if (WStrCmp(dot, u".ISO") == 0 || WStrCmp(dot, u".IMG") == 0) {
    TRACE_DETAIL(u"OpenVirtualDisk : Making ISOVirtualDisk\n");
    disk = CreateISODisk(path);
  } else if (WStrCmp(dot, u".VHDX") == 0) {
    TRACE_ERR(u"OpenVirtualDisk : VHDX is not supported yet\n");
  } else {
    TRACE_ERR(u"OpenVirtualDisk : unrecognised extension\n");
  }
  free(upper);
  return disk;
}

NTSTATUS MountOpenVirtualDisk(const WCHAR* path, uint8_t readOnly, vmpeek::VirtualDisk** disk) {
  return OpenVirtualDiskFor(VirtualDisk::OpenPurpose::Partitions, path, readOnly, disk);
}

NTSTATUS OpenVirtualDiskFor(VirtualDisk::OpenPurpose purpose, const WCHAR* path, uint8_t readOnly,
                            vmpeek::VirtualDisk** disk) {
  if (disk != nullptr) *disk = nullptr;
  WCHAR* ntPath = ToNtPath(path);
  if (ntPath == nullptr) return STATUS_NO_MEMORY;
  VirtualDisk* image = OpenVirtualDisk(ntPath);
  free(ntPath);
  if (image == nullptr) return STATUS_UNSUCCESSFUL;
  image->SetOpenPurpose(purpose);
  const NTSTATUS status = image->Open(readOnly);
  if (status < 0) {
    image->Release();
    return status;
  }
  if (disk != nullptr) {
    *disk = image;
  } else {
    image->Release();
  }
  return status;
}

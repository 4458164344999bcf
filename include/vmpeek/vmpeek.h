// The host interface of libvmpeek.so: the two exported functions and the objects they hand out.
// Every object is called by virtual-table slot; the declaration order below is that slot order
// and is part of the binary interface. Destructor slots are explicit operations taking flags
// (bit 0: free the memory); no C++ virtual destructor is declared.
#pragma once
#include <cstdint>
#include "vmpeek/types.h"

namespace vmpeek {

class VirtualPartition {
 public:
  virtual uint32_t AddRef() = 0;                                                         // 0
  virtual void Release() = 0;                                                            // 1
  virtual void GetInfo(uint8_t* type, uint64_t* lengthBytes, uint64_t* firstSector) = 0;  // 2
  virtual void GetGeometry(uint32_t* mediaType, uint32_t* bytesPerSector, uint64_t* sectorCount,
                           uint64_t* cylinders, uint32_t* tracksPerCylinder,
                           uint32_t* sectorsPerTrack) = 0;                               // 3
  virtual void GetUniqueId(uint8_t uniqueId[16]) = 0;                                    // 4
  virtual uint8_t IsReadOnly() = 0;                                                      // 5
  virtual NTSTATUS Read(uint64_t firstSector, uint32_t count, void* buffer) = 0;         // 6
  virtual NTSTATUS Write(uint64_t firstSector, uint32_t count, const void* buffer) = 0;  // 7
  virtual void* Destroy(uint32_t flags) = 0;                                             // 8

 protected:
  ~VirtualPartition() = default;
};

class VirtualDisk {
 public:
  virtual uint32_t AddRef() = 0;                                                // 0
  virtual void Release() = 0;                                                   // 1
  virtual NTSTATUS Open(uint8_t readOnly) = 0;                                  // 2
  virtual uint8_t IsReadOnly() = 0;                                             // 3
  virtual const WCHAR* GetFileName() = 0;                                       // 4
  virtual NTSTATUS GetParentFileName(WCHAR* buffer, uint64_t* size) = 0;        // 5
  virtual void GetGeometry(uint32_t* mediaType, uint32_t* bytesPerSector, uint64_t* sectorCount,
                           uint64_t* cylinders, uint32_t* tracksPerCylinder,
                           uint32_t* sectorsPerTrack) = 0;                      // 6
  virtual uint8_t GetPartitionCount() = 0;                                      // 7
  virtual NTSTATUS GetPartition(uint8_t index, VirtualPartition** partition) = 0;  // 8
  virtual NTSTATUS Read(uint64_t firstSector, uint32_t count, void* buffer) = 0;  // 9
  virtual NTSTATUS Write(uint64_t firstSector, uint32_t count, const void* buffer) = 0;  // 10
  virtual void* Destroy(uint32_t flags) = 0;                                    // 11
  virtual uint8_t IsSavedState() = 0;                                           // 12

 protected:
  ~VirtualDisk() = default;
};

class CVirtualMachine {
 public:
  virtual uint32_t AddRef() = 0;                        // 0
  virtual void Release() = 0;                           // 1
  virtual bool IsSuspended() = 0;                       // 2
  virtual GuestOs GetGuestOperatingSystem() = 0;        // 3
  virtual int32_t GetDiskCount() = 0;                   // 4
  virtual const WCHAR* GetDiskName(int32_t index) = 0;  // 5
  virtual void* Destroy(uint32_t flags) = 0;            // 6
  virtual uint32_t Open() = 0;                          // 7

 protected:
  ~CVirtualMachine() = default;
};

// A volume mounted through the volume driver (not available on this platform yet).
class CMountedVirtualPartition;

class CVmMountControl {
 public:
  virtual uint32_t AddRef() = 0;                                                       // 0
  virtual void Release() = 0;                                                          // 1
  virtual uint32_t OpenVirtualMachine(const WCHAR* path, CVirtualMachine** machine) = 0;  // 2
  virtual NTSTATUS OpenVirtualDisk(const WCHAR* path, uint8_t readOnly, VirtualDisk** disk) = 0;  // 3
  virtual uint32_t Mount(const WCHAR* path, uint8_t option1, uint8_t option2,
                         CMountedVirtualPartition** mounted) = 0;                     // 4

 protected:
  ~CVmMountControl() = default;
};

}  // namespace vmpeek

extern "C" {
// Returns a Win32 status; on success *object holds a new object with one reference.
uint32_t NotComDllGetInterface(const char* name, void** object);
void NotComDllUnload(void);
typedef uint32_t (*PFN_NotComDllGetInterface)(const char* name, void** object);
typedef void (*PFN_NotComDllUnload)(void);
}

#define VMPEEK_MOUNT_CONTROL_INTERFACE "VM_Mount_Control_1"

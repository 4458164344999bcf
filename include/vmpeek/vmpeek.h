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

}  // namespace vmpeek

// Platform types the mounted partition's slots use (platform/win_file.h, platform/win_registry.h).
typedef void* HANDLE;
typedef struct PlatformKey* HKEY;
struct WIN32_FIND_DATAW;

namespace vmpeek {

// A volume mounted through the volume driver. Statuses are Win32 codes; booleans are bytes.
// Paths inside the volume begin with a backslash and are appended to the volume's root name.
class CMountedVirtualPartition {
 public:
  virtual uint32_t AddRef() = 0;                                                          // 0
  virtual void Release() = 0;                                                             // 1
  virtual uint8_t IsReadOnly() = 0;                                                       // 2
  virtual uint8_t HasRegistry() = 0;                                                      // 3
  virtual uint32_t LoadRegistry() = 0;                                                    // 4
  virtual void UnLoadRegistry() = 0;                                                      // 5
  virtual uint8_t StartFileVirtualisation(WCHAR driveLetter) = 0;                         // 6
  virtual uint8_t StartRegistryVirtualisation() = 0;                                      // 7
  virtual uint8_t StopVirtualisation() = 0;                                               // 8
  virtual WCHAR* GetFullPath(const WCHAR* path) = 0;                                      // 9
  virtual void FreeString(WCHAR* string) = 0;                                             // 10
  virtual HANDLE FindFirstFile(const WCHAR* path, WIN32_FIND_DATAW* findData) = 0;        // 11
  virtual uint8_t DeleteFile(const WCHAR* path) = 0;                                      // 12
  virtual HANDLE CreateFile(const WCHAR* path, uint32_t access, uint32_t shareMode, void* security,
                            uint32_t disposition, uint32_t flagsAndAttributes) = 0;       // 13
  virtual uint8_t MoveFile(const WCHAR* from, uint8_t fromIsFull, const WCHAR* to,
                           uint8_t toIsFull) = 0;                                         // 14
  virtual uint8_t CopyFile(const WCHAR* from, uint8_t fromIsFull, const WCHAR* to,
                           uint8_t toIsFull) = 0;                                         // 15
  virtual HKEY GetRegistryRoot(HKEY predefinedKey) = 0;                                   // 16
  virtual uint32_t RegCreateKeyEx(HKEY root, const WCHAR* subKey, uint32_t access, HKEY* result,
                                  uint32_t* disposition) = 0;                             // 17
  virtual uint32_t RegOpenKeyEx(HKEY root, const WCHAR* subKey, uint32_t access,
                                HKEY* result) = 0;                                        // 18
  virtual uint32_t RegDeleteKey(HKEY root, const WCHAR* subKey) = 0;                      // 19
  virtual WCHAR GetDriveLetter(const uint8_t* identity) = 0;                              // 20

 protected:
  ~CMountedVirtualPartition() = default;
};

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

// Partition schemes CVmDiskInspect::GetPartitionScheme reports.
enum PartitionScheme : uint32_t {
  PartitionSchemeNone = 0,  // no partition table (blank disk, a filesystem on the whole disk, ISO)
  PartitionSchemeMbr = 1,   // MBR with its extended chain
  PartitionSchemeLdm = 2,   // LDM dynamic disk
  PartitionSchemeGpt = 3,
};

// vmpeek's own second interface, "VmPeek_Disk_Inspect_1", for what the objects above do not give
// (docs/disk-inspect.md). Like CVmMountControl the object counts as a live object of the module.
// Every disk passed in must come from this library (either interface). Statuses are NT statuses.
class CVmDiskInspect {
 public:
  virtual uint32_t AddRef() = 0;                                                          // 0
  virtual void Release() = 0;                                                             // 1
  // Opens an image like CVmMountControl::OpenVirtualDisk, but a disk without a partition table
  // opens too (with no partitions) instead of failing.
  virtual NTSTATUS OpenVirtualDisk(const WCHAR* path, uint8_t readOnly, VirtualDisk** disk) = 0;  // 2
  // The disk's content id and its parent's: VMDK CID/parentCID (4 bytes big-endian, *size 4), VHD
  // unique id and the parent's unique id (16 bytes, *size 16); raw images *size 0. A missing
  // parent id is all zeros.
  virtual NTSTATUS GetContentIds(VirtualDisk* disk, uint8_t id[16], uint8_t parentId[16],
                                 uint32_t* size) = 0;                                     // 3
  // The opened parent of a differencing disk, with one new reference; null (status 0) without a
  // parent. Parents are opened with their child, read-only and without partition discovery.
  virtual NTSTATUS GetParent(VirtualDisk* disk, VirtualDisk** parent) = 0;                // 4
  virtual PartitionScheme GetPartitionScheme(VirtualDisk* disk) = 0;                       // 5
  // GPT details of a partition (index as GetPartition counts): the type GUID and the entry's name
  // (up to 36 units and a terminator). STATUS_NOT_FOUND when the disk is not GPT.
  virtual NTSTATUS GetGptEntry(VirtualDisk* disk, uint8_t index, uint8_t typeGuid[16],
                               WCHAR name[37]) = 0;                                       // 6

 protected:
  ~CVmDiskInspect() = default;
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
#define VMPEEK_DISK_INSPECT_INTERFACE "VmPeek_Disk_Inspect_1"

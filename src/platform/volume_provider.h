// Volumes served by a filesystem implementation under a root name. The Win32 file calls route
// every path that begins with a registered root (compared case-insensitively, then a "\" or the
// end) to its provider; the provider sees only the path inside the volume.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include "platform/export.h"
#include "vmpeek/types.h"

// What a provider reports of a file or directory. Times are FILETIME values (100 ns since 1601).
struct VolumeFileInfo {
  uint32_t attributes = 0;  // FILE_ATTRIBUTE_* (directory 0x10, read-only 0x1, hidden 0x2, ...)
  uint64_t size = 0;
  uint64_t creationTime = 0;
  uint64_t lastAccessTime = 0;
  uint64_t lastWriteTime = 0;
  uint64_t fileIndex = 0;   // stable id inside the volume (e.g. the MFT reference), 0 if none
  uint32_t linkCount = 1;
};

struct VolumeDirEntry {
  std::u16string name;       // one component, never "." or ".."
  std::u16string shortName;  // 8.3 name where the filesystem keeps one, else empty
  VolumeFileInfo info;
};

// An open file or directory inside a volume. Methods return Win32 error codes (0 success).
// The platform serialises calls on one handle; a provider serialises across handles where its
// library needs it. Destroying the object closes it; Close() reports the final flush first.
class VolumeFile {
 public:
  virtual ~VolumeFile() = default;
  virtual uint32_t Read(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) = 0;
  virtual uint32_t Write(uint64_t offset, const void* buffer, uint32_t length, uint32_t* done) = 0;
  virtual uint32_t SetSize(uint64_t size) = 0;
  virtual uint32_t Flush() = 0;
  virtual uint32_t GetInfo(VolumeFileInfo* info) = 0;
  virtual uint32_t Close() = 0;
};

// Open request flags the platform passes down.
#define VOLUME_OPEN_DIRECTORY 0x1u      // FILE_FLAG_BACKUP_SEMANTICS: a directory may be opened
#define VOLUME_OPEN_CREATE_DIR 0x2u     // create a directory (CreateDirectoryW)
#define VOLUME_OPEN_READ 0x4u
#define VOLUME_OPEN_WRITE 0x8u

// A mounted filesystem. Paths inside the volume begin with "\" (the root is "\"), use "\" only,
// have no empty, "." or ".." components (the platform has resolved them) and are at most 32767
// units. Methods return Win32 error codes.
class VolumeProvider {
 public:
  virtual ~VolumeProvider() = default;
  virtual bool IsReadOnly() = 0;
  // disposition: CREATE_NEW 1, CREATE_ALWAYS 2, OPEN_EXISTING 3, OPEN_ALWAYS 4, TRUNCATE_EXISTING 5.
  // *created tells whether the file was made by this call. attributes apply to a new file.
  virtual uint32_t Open(const std::u16string& path, uint32_t flags, uint32_t disposition,
                        uint32_t attributes, std::unique_ptr<VolumeFile>* file, bool* created) = 0;
  virtual uint32_t GetInfo(const std::u16string& path, VolumeFileInfo* info) = 0;
  // Calls `each` for every entry of the directory (no "." or ".."); stops early when it returns
  // false. A path that is not a directory gives ERROR_DIRECTORY (267).
  virtual uint32_t ListDirectory(const std::u16string& path,
                                 const std::function<bool(const VolumeDirEntry&)>& each) = 0;
  virtual uint32_t DeleteFile(const std::u16string& path) = 0;
  virtual uint32_t RemoveDirectory(const std::u16string& path) = 0;
  virtual uint32_t Rename(const std::u16string& from, const std::u16string& to, bool replace) = 0;
  virtual uint32_t SetAttributes(const std::u16string& path, uint32_t attributes) = 0;
  // Writes everything cached to the volume's storage.
  virtual uint32_t Flush() = 0;
  // The volume's label, filesystem name ("NTFS", "FAT32", "ext4", ...) and serial number.
  virtual uint32_t GetVolumeInformation(std::u16string* label, std::u16string* fileSystem,
                                        uint32_t* serial) {
    return 50;  // ERROR_NOT_SUPPORTED
  }
};

// Longest root name a volume may register, in units without the terminator (it must fit the
// 100-unit root-name field of a mounted partition).
#define PLATFORM_VOLUME_ROOT_MAX 99u

// Registers `provider` under `root` (e.g. "\\?\GLOBALROOT\Device\ZelVolume{7}"). Fails with
// ERROR_ALREADY_EXISTS for a root in use, ERROR_FILENAME_EXCED_RANGE for a root that is too long.
VMPLAT_API uint32_t PlatformRegisterVolume(const std::u16string& root,
                                           std::shared_ptr<VolumeProvider> provider);
// Removes the root from the namespace: new opens fail with ERROR_PATH_NOT_FOUND; handles already
// open keep the provider alive until they close. Returns the provider's Flush status.
VMPLAT_API uint32_t PlatformUnregisterVolume(const std::u16string& root);

// Per-thread file redirection: while set, the calling thread's file calls on the drive whose
// device is `deviceName` (e.g. "\Device\VmpeekDrive_C", as QueryDosDeviceW gives it), in every path
// form that names that drive, are served by the volume registered under `volumeRoot`.
// Returns a Win32 status (ERROR_FILE_NOT_FOUND for an unknown device or root).
VMPLAT_API uint32_t PlatformStartFileRedirection(const WCHAR* deviceName, const WCHAR* volumeRoot);
// Clears the calling thread's file redirection (nothing to do is not an error).
VMPLAT_API void PlatformStopFileRedirection();

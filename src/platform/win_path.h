// Where a Windows path leads: a host file (through the drive map) or a file inside a registered
// volume (directly, or through the calling thread's file redirection of a drive).
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "platform/volume_table.h"
#include "vmpeek/types.h"

struct PlatformTarget {
  bool onVolume = false;
  // Host drives.
  char16_t drive = 0;
  std::string posix;        // existing names matched ignoring case
  std::string posixParent;  // the folder that holds it
  // Volumes.
  VolumeMatch volume;
  std::u16string inner;     // "\" for the root, else "\a\b"
  // Both.
  bool isRoot = false;              // the root of a drive or volume
  bool trailingSeparator = false;   // written with a separator after the last name
  std::u16string name;              // last component as written (empty at a root)

  // Share-table key of a file inside a volume.
  std::u16string FileKey() const;
  // True when both name the same volume (or both host files).
  bool SamePlace(const PlatformTarget& o) const {
    return onVolume == o.onVolume && (!onVolume || volume.key == o.volume.key);
  }
};

#define RESOLVE_WILDCARD_LAST 0x1u  // the last component is a search pattern
#define RESOLVE_EXACT_CASE 0x2u     // host names as written
#define RESOLVE_NO_REDIRECT 0x4u    // ignore the thread's redirection

// Resolves a path; a Win32 error code (0 success): ERROR_PATH_NOT_FOUND for an empty path, an
// unmapped drive or a volume that is gone, ERROR_INVALID_NAME for forbidden characters or an
// unpaired surrogate in a host name, ERROR_BAD_NETPATH for UNC names.
uint32_t PlatformResolvePath(const WCHAR* path, uint32_t flags, PlatformTarget* target);
// The full Windows path of `path`, lexically ("." and ".." folded, separators made "\").
// *filePart is the offset of the last component in *full (npos when it ends in a separator).
uint32_t PlatformFullPath(const WCHAR* path, std::u16string* full, size_t* filePart);
// Win32 status for a host path that does not exist: ERROR_PATH_NOT_FOUND when its folder is
// missing, else ERROR_FILE_NOT_FOUND.
uint32_t PlatformMissingError(const PlatformTarget& t);

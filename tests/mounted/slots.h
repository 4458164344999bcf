// Calling host objects strictly by virtual-table slot, as a host does.
#pragma once
#include <cstdint>
#include <string>
#include "vmpeek/types.h"

template <class R, class... A>
R Slot(void* object, int index, A... args) {
  return reinterpret_cast<R (*)(void*, A...)>((*static_cast<void***>(object))[index])(object, args...);
}

// CMountedVirtualPartition slots.
enum MountedSlot {
  kAddRef = 0, kRelease, kIsReadOnly, kHasRegistry, kLoadRegistry, kUnLoadRegistry, kStartFile, kStartRegistry,
  kStopVirtualisation, kGetFullPath, kFreeString, kFindFirstFile, kDeleteFile, kCreateFile, kMoveFile, kCopyFile,
  kGetRegistryRoot, kRegCreateKeyEx, kRegOpenKeyEx, kRegDeleteKey, kGetDriveLetter
};

inline uint32_t MountSlot(void* control, const std::u16string& path, uint8_t option1, uint8_t option2,
                          void** mounted) {
  return Slot<uint32_t>(control, 4, path.c_str(), option1, option2, mounted);
}

inline std::u16string FullPath(void* mounted, const WCHAR* path) {
  WCHAR* full = Slot<WCHAR*>(mounted, kGetFullPath, path);
  std::u16string result = full ? full : u"<null>";
  Slot<void>(mounted, kFreeString, full);
  return result;
}

// What every differencing format shares about its parent: how long a chain may be, and what a
// child reads where it reaches past its parent's end (zeros, as in a chain of VMDK disks).
#pragma once
#include <cstdint>

#include "vmpeek/vmpeek.h"

// Parents followed below the disk that was opened; a chain longer than that is refused.
constexpr uint32_t kMaxParentDepth = 32;

// How many of `count` sectors from `sector` a parent of `parentSectors` sectors holds.
inline uint32_t ParentReach(uint64_t parentSectors, uint64_t sector, uint32_t count) {
  if (sector >= parentSectors) return 0;
  return parentSectors - sector < count ? static_cast<uint32_t>(parentSectors - sector) : count;
}

// Reads `count` sectors from `sector` of the parent into buffer: what the parent holds from the
// parent, zeros past its end. The status is the parent's (success when nothing was read from it).
NTSTATUS ReadThroughParent(vmpeek::VirtualDisk* parent, uint64_t sector, uint32_t count, uint8_t* buffer);

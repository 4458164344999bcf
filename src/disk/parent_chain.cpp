// Reads of a differencing image's sectors that its parent serves.
#include "disk/parent_chain.h"

#include <cstring>

NTSTATUS ReadThroughParent(vmpeek::VirtualDisk* parent, uint64_t sector, uint32_t count, uint8_t* buffer) {
  uint64_t parentSectors = 0;
  parent->GetGeometry(nullptr, nullptr, &parentSectors, nullptr, nullptr, nullptr);
  const uint32_t reach = ParentReach(parentSectors, sector, count);
  const NTSTATUS status = reach != 0 ? parent->Read(sector, reach, buffer) : 0;
  memset(buffer + uint64_t{reach} * 512, 0, uint64_t{count - reach} * 512);
  return status;
}

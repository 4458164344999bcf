// The filesystem name and label of a mounted guest volume.
#pragma once
#include <string>

#include "vmpeek/vmpeek.h"

struct VolumeLabel {
  std::string fileSystem;  // "NTFS", "FAT32", ...; "" when unknown
  std::string label;
};

VolumeLabel ReadVolumeLabel(vmpeek::CMountedVirtualPartition* mounted);

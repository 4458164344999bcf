// Which filesystem a volume holds, told by its boot sector and superblock signatures.
#pragma once
#include <cstdint>
#include "quilldrv/block_device.h"

enum class FsKind { Unknown, Ntfs, Fat, ExFat, Ext, Iso9660, HfsPlus };

// Reads what the signatures need; a device too small or unreadable for a signature does not
// have that filesystem. *readFailed tells whether the storage refused a read.
FsKind ProbeFilesystem(BlockDevice& device, bool* readFailed);
const char* FsKindName(FsKind kind);

// The platform's side of mounted volumes: the namespace of registered roots, the calling thread's
// file redirection, and the share-mode table for files inside volumes (keyed by volume and
// case-folded path, so providers need not track openers).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include "platform/volume_provider.h"

struct VolumeMatch {
  std::shared_ptr<VolumeProvider> provider;
  std::u16string key;    // canonical folded root: identity of the volume
  std::u16string root;   // the root as registered (for full paths)
  size_t restOffset = 0; // where the path inside the volume begins in the caller's string
};

// Canonical folded form of a root: "\??\" and "\\.\" read as "\\?\", "\\?\GLOBALROOT" is dropped.
std::u16string VolumeCanonicalRoot(const std::u16string& root);
// The registered volume whose root begins `path` (longest root wins), followed by a separator or
// the end; false when none.
bool VolumeMatchPath(const std::u16string& path, VolumeMatch* match);
// The volume registered under a canonical key; false when it is gone.
bool VolumeByKey(const std::u16string& key, VolumeMatch* match);
// The calling thread's redirected drive letter (0 when none) and its volume's key.
char16_t VolumeRedirectedDrive(std::u16string* key);

// Access bits for the share tables.
#define SHARE_ACCESS_READ 0x1u
#define SHARE_ACCESS_WRITE 0x2u
#define SHARE_ACCESS_DELETE 0x4u

// The same table counts the Win32 openers of host files (keyed by device and inode, sharing
// everything: their share modes are held by file locks) so that a delete-on-close waits for the
// last handle.
// Records an opener of `fileKey`; ERROR_SHARING_VIOLATION when it conflicts with one already there.
uint32_t VolumeShareAcquire(const std::u16string& fileKey, uint32_t access, uint32_t share, uint64_t* token);
// Forgets an opener. Returns true when this was the last opener and a delete-on-close is pending
// (the caller then deletes the file).
bool VolumeShareRelease(const std::u16string& fileKey, uint64_t token, bool deleteOnClose);
// True when deleting or renaming the file now would not break a share mode (every opener
// allows FILE_SHARE_DELETE).
bool VolumeShareDeleteAllowed(const std::u16string& fileKey);

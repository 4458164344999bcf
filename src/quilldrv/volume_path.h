// Paths inside a mounted volume, checked and split: "\" then components separated by "\".
// Nothing that could leave the volume or confuse a filesystem library passes: empty, "." and
// ".." components, "/", control characters, wildcards and the other characters Windows refuses
// in names, components over 255 units. A ':' is allowed only to name a data stream of the last
// component ("file:stream" or "file:stream:$DATA") where the filesystem has streams.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The dispositions a provider's Open receives (as CreateFileW numbers them).
enum OpenDisposition : uint32_t {
  kCreateNew = 1,
  kCreateAlways = 2,
  kOpenExisting = 3,
  kOpenAlways = 4,
  kTruncateExisting = 5,
};

struct VolumePath {
  std::vector<std::u16string> components;  // empty for the root
  std::u16string stream;                   // named data stream of the last component, or empty
};

// Returns 0 or a Win32 status (ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND, ERROR_FILENAME_EXCED_RANGE).
uint32_t ParseVolumePath(const std::u16string& path, bool allowStreams, VolumePath* out);

// Case-insensitive comparison of two names, folding the Latin letters (what every filesystem
// served here folds at least); used where a library leaves the comparison to its caller.
bool SameNameIgnoringCase(const std::u16string& a, const std::u16string& b);

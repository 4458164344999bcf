// Files inside a mounted guest volume through the platform's Win32 file calls: listing entries
// and their facts, and streaming a file between the guest and a host descriptor.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/win_file.h"

struct GuestEntry {
  std::u16string path;  // inside the volume, "\Windows\System32"
  std::u16string name;
  uint32_t attributes = 0;
  uint64_t size = 0;
  uint64_t created = 0, modified = 0, accessed = 0;  // FILETIME values
  bool IsDirectory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// "2024-05-01T10:20:30Z" (UTC) of a FILETIME; "" for 0.
std::string FileTimeText(uint64_t filetime);
// "readonly", "hidden", "system", "directory", "archive", ... of FILE_ATTRIBUTE_* bits.
std::vector<std::string> AttributeNames(uint32_t attributes);
nlohmann::ordered_json EntryJson(const GuestEntry& entry);

// Facts of one path (full host-form path fullPath, guest path for the record); a Win32 status.
uint32_t StatGuest(const std::u16string& fullPath, const std::u16string& guestPath, GuestEntry* entry);
// Calls each() for the entries of a directory (no "." or ".."), in the order the volume gives
// them; a Win32 status.
uint32_t ListGuestDirectory(const std::u16string& fullDir, const std::u16string& guestDir,
                            const std::function<void(const GuestEntry&)>& each);
// Copies the guest file to the host descriptor fd / the host descriptor to a new guest file
// (replacing one). *failedOnHost tells whether a failure was the host side's (errno set).
uint32_t CopyGuestToFd(const std::u16string& fullPath, int fd, uint64_t size, bool* failedOnHost);
uint32_t CopyFdToGuest(int fd, uint64_t size, const std::u16string& fullPath, bool* failedOnHost);
// Whether a name from the guest may become a host file name: never ".", "..", or one holding
// "/" or a NUL unit (guest data must not pick where on the host it lands).
bool SafeHostName(const std::u16string& name);

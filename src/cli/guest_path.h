// Paths and registry keys inside a guest as the command line gives them.
#pragma once
#include <string>

#include "platform/win_registry.h"

// "\Windows\System32" from "/Windows/System32", "Windows\System32" or "\Windows\.\System32";
// ".." stops at the volume's root, as Windows does ("\..\x" is "\x"); "" and "/" are "\".
std::u16string NormalizeGuestPath(const std::string& utf8);
// The drive letter a guest path starts with ("C:\Windows" gives 'C'), or 0; *rest gets the path
// after it.
char GuestPathDrive(const std::string& path, std::string* rest);
// The last component of a normalized guest path ("" for the root).
std::u16string GuestBaseName(const std::u16string& path);

struct GuestKey {
  HKEY root = nullptr;      // a predefined key
  std::string rootName;     // "HKEY_LOCAL_MACHINE", ...
  std::u16string subKey;    // "SOFTWARE\Microsoft", no leading or trailing backslash
  // The full name, "HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft".
  std::string FullName() const;
};
// Parses "HKLM\SOFTWARE\...", "HKEY_LOCAL_MACHINE\...", "HKU\.DEFAULT", "HKCR\...", "HKCU\..."
// (either slash, any case); false for an unknown root.
bool ParseGuestKey(const std::string& text, GuestKey* key);

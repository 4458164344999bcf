// Host file names (bytes, UTF-8 by convention) and Windows names (UTF-16), reversibly: a byte that
// is not part of valid UTF-8, or a character Windows forbids in names ("\\:*?\"<>|" and controls),
// becomes the private-use unit U+F000 + byte, so every host file can be listed and reopened.
#pragma once
#include <string>

// The Windows form of one host name component.
std::u16string HostNameToWindows(const std::string& bytes);
// The host bytes of one Windows name component; false for an unpaired surrogate or a NUL.
bool WindowsNameToHost(const std::u16string& name, std::string* bytes);
// True when the component holds no character Windows forbids in names; with wildcards the
// pattern characters "*?<>\"" are allowed.
bool IsValidWindowsComponent(const std::u16string& name, bool wildcards);
// Upper-case fold for case-insensitive comparisons of names.
std::u16string FoldName(const std::u16string& name);

// Paths between the command line (POSIX) and the library (Z:\ drive-letter form), and what a
// path's extension says about the file.
#pragma once
#include <string>

// The library's form of a POSIX path given on the command line.
std::u16string ToLibraryPath(const std::string& posix);
// The POSIX path a library path stands for (as written when it cannot be mapped).
std::string ToPosixPath(const std::u16string& path);
// "vhd", "vmdk" or "raw" by extension, as the library chooses the image class; "" otherwise.
std::string ImageFormatOf(const std::string& path);
// True for .vmx and .vmc configurations.
bool IsMachinePath(const std::string& path);
// A disk name as a configuration writes it, resolved the way the virtualisation product does:
// absolute names (X:\..., \..., /...) stand as they are, others are relative to the
// configuration's folder.
std::u16string ResolveDiskName(const std::u16string& configPath, const std::u16string& name);

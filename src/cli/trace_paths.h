// Library paths in trace lines shown as host paths. The library writes NT paths
// ("\??\Z:\TMP\VM\DISK.V01", sometimes upper-cased) and drive paths ("Z:\tmp\vm\disk.vmx"); the
// user typed POSIX paths. A path beside the one the user typed is written with the user's folder
// and spelling; any other path as the absolute host path.
#pragma once
#include <string>

// The host form of one library path; `typed` is the path the user gave ("" for none).
std::string ShownPath(const std::u16string& libraryPath, const std::string& typed);
// Whether a library path names an existing host file.
bool LibraryPathExists(const std::u16string& libraryPath);
// A trace line with every library path in it replaced by its ShownPath.
std::string HostPathsInLine(const std::string& line, const std::string& typed);
// The line with every library path replaced by "<path>" (for reading what the line says).
std::string WithoutPaths(const std::string& line);

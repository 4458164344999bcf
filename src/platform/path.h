// Windows paths on POSIX. An NT path "\??\X:\dir\file" or a Win32 path "X:\dir\file" maps to
// POSIX by its drive letter: Z: is "/" unless VMPEEK_DRIVE_Z says otherwise; any letter X can be
// pointed at a folder with VMPEEK_DRIVE_X. Backslashes become slashes.
#pragma once
#include <string>
#include "platform/export.h"
#include "vmpeek/types.h"

// Maps a Windows path to POSIX; false (with a status) when it cannot be mapped.
// With caseInsensitive, each component that does not exist as written is matched against the
// directory's entries ignoring case (exact name first).
VMPLAT_API NTSTATUS PlatformMapPath(const WCHAR* path, bool caseInsensitive, std::string* posix);
// The Z:\ form of a POSIX path (absolute or relative to the current directory).
VMPLAT_API std::u16string PlatformPosixToWindows(const std::string& posix);

// Windows paths on POSIX. A path names a drive letter (Z: is "/" unless VMPEEK_DRIVE_Z says
// otherwise; C: is $VMPEEK_PREFIX/drive_c, default ~/.local/share/vmpeek/drive_c, made on first
// use; any letter X can be pointed at a folder with VMPEEK_DRIVE_X) or a registered volume.
// Forms: "X:\dir\file", "X:/dir/file", "\\?\X:\...", "\??\X:\...", the drive's device form
// "\Device\VmpeekDrive_X\..." (also behind "\\?\GLOBALROOT"), rooted ("\dir", on the current
// directory's drive) and relative paths (against the current directory).
#pragma once
#include <string>
#include "platform/export.h"
#include "vmpeek/types.h"

// Maps a Windows path on a host drive to POSIX (never redirected, never into a volume).
// With caseInsensitive, each component that does not exist as written is matched against the
// directory's entries ignoring case (exact name first).
VMPLAT_API NTSTATUS PlatformMapPath(const WCHAR* path, bool caseInsensitive, std::string* posix);
// The drive-letter form of a POSIX path (absolute or relative to the current directory): the
// drive whose root holds it, the longest root winning; Z: otherwise.
VMPLAT_API std::u16string PlatformPosixToWindows(const std::string& posix);

// The folder behind a drive letter; false when the letter is not mapped. With create, the
// default C: folder is made when missing.
bool PlatformDriveRoot(char16_t letter, std::string* root, bool create);
// "\Device\VmpeekDrive_X" for a letter.
std::u16string PlatformDriveDevice(char16_t letter);
// The (upper-case) letter of a mapped drive's device name, 0 for anything else.
char16_t PlatformDriveOfDevice(const WCHAR* device);

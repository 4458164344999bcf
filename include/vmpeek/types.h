// Basic types shared by the library and its hosts.
#pragma once
#include <cstdint>

typedef int32_t NTSTATUS;          // NT status: 0 success, negative failure
typedef char16_t WCHAR;            // UTF-16 code unit

#define NT_SUCCESS(s) (static_cast<NTSTATUS>(s) >= 0)

namespace vmpeek {

// Guest operating systems reported by both configuration readers. Codes 0-14 are the original
// table; later Windows releases follow from 15. Releases that exist only as 64-bit systems
// (Windows 11, the servers from 2008 R2 on) have only an x64 code. A reader that cannot tell
// 32- from 64-bit (a .vmc build number) reports the plain code.
enum GuestOs : uint32_t {
  GuestOsUnknown = 0,
  GuestOsNonWindows = 1,
  GuestOsDos = 2,
  GuestOsWindows31 = 3,
  GuestOsWindows9x = 4,
  GuestOsWindowsNT = 5,
  GuestOsWindows2000 = 6,
  GuestOsWindowsXP = 7,
  GuestOsWindowsXP64 = 8,
  GuestOsWindows2003 = 9,
  GuestOsWindows2003x64 = 10,
  GuestOsWindowsVista = 11,
  GuestOsWindowsVista64 = 12,
  GuestOsLonghorn = 13,
  GuestOsLonghorn64 = 14,
  GuestOsWindows7 = 15,
  GuestOsWindows7x64 = 16,
  GuestOsWindows8 = 17,            // also 8.1 where the configuration does not tell them apart
  GuestOsWindows8x64 = 18,
  GuestOsWindows81 = 19,
  GuestOsWindows81x64 = 20,
  GuestOsWindows10 = 21,
  GuestOsWindows10x64 = 22,
  GuestOsWindows11x64 = 23,
  GuestOsWindows2008R2x64 = 24,
  GuestOsWindows2012x64 = 25,      // also 2012 R2 where the configuration does not tell them apart
  GuestOsWindows2012R2x64 = 26,
  GuestOsWindows2016x64 = 27,
  GuestOsWindows2019x64 = 28,
  GuestOsWindows2022x64 = 29,
};

}  // namespace vmpeek

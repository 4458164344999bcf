// Basic types shared by the library and its hosts.
#pragma once
#include <cstdint>

typedef int32_t NTSTATUS;          // NT status: 0 success, negative failure
typedef char16_t WCHAR;            // UTF-16 code unit

#define NT_SUCCESS(s) (static_cast<NTSTATUS>(s) >= 0)

namespace vmpeek {

// Guest operating systems reported by both configuration readers.
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
};

}  // namespace vmpeek

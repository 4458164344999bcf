// The "guestOS" identifiers of VMware configurations and their GuestOs codes: the original table
// and the later Windows releases, searched in order, then the families of VMware's non-Windows
// identifiers (every Linux, BSD, Solaris, macOS, NetWare and other system VMware names).
#include "platform/wstr.h"
#include "vm/vmware_slots.h"
#include "vm/vmware_virtual_machine.h"

using namespace vmpeek;

namespace {

struct GuestRow {
  const WCHAR* identifier;
  GuestOs code;
};

const GuestRow kGuestTable[] = {
    {u"other", GuestOsUnknown},
    {u"other-64", GuestOsUnknown},
    {u"freebsd", GuestOsNonWindows},
    {u"freebsd-64", GuestOsNonWindows},
    {u"solaris9", GuestOsNonWindows},
    {u"solaris10", GuestOsNonWindows},
    {u"solaris10-64", GuestOsNonWindows},
    {u"netware5", GuestOsNonWindows},
    {u"netware6", GuestOsNonWindows},
    {u"redhat", GuestOsNonWindows},
    {u"rhel2", GuestOsNonWindows},
    {u"rhel3", GuestOsNonWindows},
    {u"rhel3-64", GuestOsNonWindows},
    {u"rhel4", GuestOsNonWindows},
    {u"rhel4-64", GuestOsNonWindows},
    {u"rhel5", GuestOsNonWindows},
    {u"rhel5-64", GuestOsNonWindows},
    {u"suse", GuestOsNonWindows},
    {u"suse-64", GuestOsNonWindows},
    {u"sles", GuestOsNonWindows},
    {u"sles-64", GuestOsNonWindows},
    {u"nld9", GuestOsNonWindows},
    {u"sjds", GuestOsNonWindows},
    {u"mandrake", GuestOsNonWindows},
    {u"mandriva", GuestOsNonWindows},
    {u"mandriva-64", GuestOsNonWindows},
    {u"turbolinux", GuestOsNonWindows},
    {u"ubuntu", GuestOsNonWindows},
    {u"ubuntu-64", GuestOsNonWindows},
    {u"otherlinux", GuestOsNonWindows},
    {u"otherlinux-64", GuestOsNonWindows},
    {u"other24xlinux", GuestOsNonWindows},
    {u"other24xlinux-64", GuestOsNonWindows},
    {u"other26xlinux", GuestOsNonWindows},
    {u"other26xlinux-64", GuestOsNonWindows},
    {u"dos", GuestOsDos},
    {u"win31", GuestOsWindows31},
    {u"win95", GuestOsWindows9x},
    {u"win98", GuestOsWindows9x},
    {u"winme", GuestOsWindows9x},
    {u"winnt", GuestOsWindowsNT},
    {u"win2000pro", GuestOsWindows2000},
    {u"win2000serv", GuestOsWindows2000},
    {u"win2000advserv", GuestOsWindows2000},
    {u"winxphome", GuestOsWindowsXP},
    {u"winxppro", GuestOsWindowsXP},
    {u"winxppro-64", GuestOsWindowsXP64},
    {u"winnet", GuestOsWindows2003},
    {u"winnetbusiness", GuestOsWindows2003},
    {u"winnetenterprise", GuestOsWindows2003},
    {u"winnetstandard", GuestOsWindows2003},
    {u"winnetweb", GuestOsWindows2003},
    {u"winnetenterprise-64", GuestOsWindows2003x64},
    {u"winnetstandard-64", GuestOsWindows2003x64},
    {u"winvista", GuestOsWindowsVista},
    {u"winvista-64", GuestOsWindowsVista64},
    {u"longhorn", GuestOsLonghorn},
    {u"longhorn-64", GuestOsLonghorn64},
    // Later Windows releases. VMware names Windows 8 and 8.1 alike, and Server 2012 and 2012 R2;
    // "windows9" is Windows 10 and "windows2019srvNext" is Server 2022.
    {u"windows7", GuestOsWindows7},
    {u"windows7-64", GuestOsWindows7x64},
    {u"windows8", GuestOsWindows8},
    {u"windows8-64", GuestOsWindows8x64},
    {u"windows9", GuestOsWindows10},
    {u"windows9-64", GuestOsWindows10x64},
    {u"windows11-64", GuestOsWindows11x64},
    {u"windows7srv-64", GuestOsWindows2008R2x64},
    {u"windows8srv-64", GuestOsWindows2012x64},
    {u"windows9srv-64", GuestOsWindows2016x64},
    {u"windows2019srv-64", GuestOsWindows2019x64},
    {u"windows2019srvNext-64", GuestOsWindows2022x64},
    {u"winnetdatacenter", GuestOsWindows2003},
    {u"winnetdatacenter-64", GuestOsWindows2003x64},
};

// Leading words of VMware's non-Windows identifiers ("rhel7-64", "debian12", "darwin19-64", ...).
const WCHAR* const kNonWindowsFamilies[] = {
    u"almalinux", u"amazonlinux", u"asianux",  u"centos",     u"coreos",    u"crxpod",   u"crxsys",
    u"darwin",    u"debian",      u"ecomstation", u"fedora",  u"freebsd",   u"genericlinux", u"mandrake",
    u"mandriva",  u"netware",     u"nld",      u"oes",        u"openserver", u"opensuse", u"oraclelinux",
    u"os2",       u"photon",      u"redhat",   u"rhel",       u"rockylinux", u"sjds",    u"sles",
    u"solaris",   u"suse",        u"turbolinux", u"ubuntu",   u"unixware",  u"vmkernel", u"vmware-photon",
};

}  // namespace

GuestOs VMwareGuestOsCode(const WCHAR* identifier) {
  for (const GuestRow& row : kGuestTable)
    if (WStrICmpAZ(row.identifier, identifier) == 0) return row.code;
  // Windows releases newer than the table stay unknown; "other" and "other-64" matched above.
  if (WStrNICmpAZ(identifier, u"win", 3) == 0) return GuestOsUnknown;
  for (const WCHAR* family : kNonWindowsFamilies)
    if (WStrNICmpAZ(identifier, family, WStrLen(family)) == 0) return GuestOsNonWindows;
  // "other3xlinux-64", "otherlinux", and the BSDs under any name.
  if (ContainsAZ(identifier, u"linux") || ContainsAZ(identifier, u"bsd")) return GuestOsNonWindows;
  return GuestOsUnknown;
}


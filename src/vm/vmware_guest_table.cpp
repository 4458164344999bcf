// The "guestOS" identifiers of VMware configurations and their GuestOs codes, searched in order.
#include "platform/wstr.h"
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
};
static_assert(sizeof(kGuestTable) / sizeof(kGuestTable[0]) == 58, "the guest table has 58 rows");

}  // namespace

GuestOs VMwareGuestOsCode(const WCHAR* identifier) {
  for (const GuestRow& row : kGuestTable)
    if (WStrICmpAZ(row.identifier, identifier) == 0) return row.code;
  return GuestOsUnknown;
}

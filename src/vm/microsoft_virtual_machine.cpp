#include "vm/microsoft_virtual_machine.h"

#include "module/parse_trace.h"
#include "platform/wstr.h"

using namespace vmpeek;

namespace {

// The one element of that name below parent, or null when there is none or more than one.
XmlElement FindSingleElement(XmlElement parent, const char* name) {
  std::vector<XmlElement> list = XmlElementsByTagName(parent, name);
  return list.size() == 1 ? list[0] : nullptr;
}

struct BuildRow {
  const WCHAR* build;
  GuestOs code;
};
const BuildRow kBuildNumbers[] = {
    {u"4.00.1381", GuestOsWindowsNT},   {u"5.00.2195", GuestOsWindows2000},
    {u"5.01.2600", GuestOsWindowsXP},   {u"5.02.3790", GuestOsWindows2003},
    {u"6.00.6000", GuestOsWindowsVista}, {u"6.10.6100", GuestOsLonghorn},
};

// Later releases by the version part of a build number written as the table writes it
// ("6.01.7601", "10.00.19045"): major, two-digit minor, build. A build number does not tell a
// client from the server of the same build nor 32- from 64-bit, so the client's plain code is
// given, except for builds that only a server or only a 64-bit system carries.
struct ReleaseRow {
  uint32_t major, minor, firstBuild, lastBuild;
  GuestOs code;
};
const ReleaseRow kLaterReleases[] = {
    {6, 1, 0, ~0u, GuestOsWindows7},          {6, 2, 0, ~0u, GuestOsWindows8},
    {6, 3, 0, ~0u, GuestOsWindows81},         {10, 0, 20348, 20348, GuestOsWindows2022x64},
    {10, 0, 22000, ~0u, GuestOsWindows11x64}, {10, 0, 0, ~0u, GuestOsWindows10},
};

// Reads "D+.DD.D+" (no signs or blanks); false for anything else.
bool ParseBuildNumber(const std::u16string& text, uint32_t* major, uint32_t* minor, uint32_t* build) {
  uint32_t* fields[] = {major, minor, build};
  size_t i = 0;
  for (int f = 0; f < 3; ++f) {
    if (f > 0 && (i >= text.size() || text[i++] != u'.')) return false;
    const size_t start = i;
    uint64_t value = 0;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9' && i - start < 9) value = value * 10 + (text[i++] - u'0');
    if (i == start || (f == 1 && i - start != 2)) return false;
    *fields[f] = static_cast<uint32_t>(value);
  }
  return i == text.size();
}

GuestOs LaterRelease(const std::u16string& text) {
  uint32_t major = 0, minor = 0, build = 0;
  if (!ParseBuildNumber(text, &major, &minor, &build)) return GuestOsUnknown;
  for (const ReleaseRow& row : kLaterReleases)
    if (row.major == major && row.minor == minor && build >= row.firstBuild && build <= row.lastBuild) return row.code;
  return GuestOsUnknown;
}

// Codes of the "guest_os" numbers 0 to 9.
const GuestOs kGuestOsNumbers[] = {
    GuestOsWindows9x,   GuestOsWindowsNT,  GuestOsWindows2000,  GuestOsWindowsXP,
    GuestOsWindowsNT,   GuestOsWindows2000, GuestOsWindows2003, GuestOsNonWindows,
    GuestOsWindowsVista, GuestOsNonWindows,
};

std::u16string Wide(const char* ascii) {
  std::u16string s;
  while (*ascii) s.push_back(static_cast<char16_t>(*ascii++));
  return s;
}

}  // namespace

uint32_t CMicrosoftVirtualMachine::Open() {
  uint32_t hr = kHrOk;
  {
    XmlDomDocument document;
    bool loaded = false;
    uint32_t loadHr = document.Load(m_Path, &loaded);
    XmlElement root = nullptr;
    if (loadHr & 0x80000000u) {
      TRACE_ERR(u"CMicrosoftVirtualMachine::Open : load failed hr=%08lx\n", loadHr);
      hr = loadHr;
    } else if (!loaded) {
      TRACE_ERR(u"CMicrosoftVirtualMachine::Open : load indicated failure\n");
      hr = kHrFail;
    } else if (!(root = document.DocumentElement())) {
      TRACE_ERR(u"CMicrosoftVirtualMachine::Open : get_documentElement failed hr=%08lx\n", kHrFail);
      hr = kHrFail;
    } else {
      std::u16string name = XmlBaseName(root);
      if (WStrICmpAZ(name.c_str(), u"preferences") != 0) {
        TRACE_ERR(u"CMicrosoftVirtualMachine::Open : get_documentElement didn't get preferences. It got %s\n",
                  name.c_str());
        hr = kHrFail;
      }
    }
    if (hr == kHrOk) {
      FindSuspended(root);
      FindGuestOs(root);
      int32_t count = FindDisks(root);
      TRACE_DETAIL(u"CMicrosoftVirtualMachine::Open : found %d disks\n", count);
      if (count != 0 && AllocateDiskNames(count)) FindDisks(root);
      m_DiskCount = count;
    }
  }
  if (hr & 0x80000000u)
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::Open : returning failure : %08lx\n", hr);
  else
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::Open : returning success : %08lx\n", hr);
  return hr;
}

void CMicrosoftVirtualMachine::FindSuspended(XmlElement root) {
  XmlElement saved = FindSingleElement(root, "saved_state");
  if (!saved) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindSuspended : didn't find saved_state element\n");
    return;
  }
  XmlElement absolute = FindSingleElement(saved, "absolute");
  if (!absolute) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindSuspended : didn't find saved_state->absolute element\n");
    return;
  }
  std::u16string text;
  uint32_t hr = XmlText(absolute, &text);
  if (hr != kHrOk) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindSuspended : failed to get text from pathname hr=%08lx\n", hr);
    return;
  }
  TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindSuspended : saved_state->absolute name = \"%s\"\n", text.c_str());
  m_Suspended = !text.empty();
}

void CMicrosoftVirtualMachine::FindGuestOs(XmlElement root) {
  m_Guest = GuestOsUnknown;
  XmlElement integration = FindSingleElement(root, "integration");
  if (!integration) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindGuestOs : didn't find integration element. Tools aren't installed in guest.\n");
  } else if (XmlElement build = FindSingleElement(integration, "build_number"); !build) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindGuestOs : didn't find integration->build_number element.\n");
  } else {
    std::u16string text;
    uint32_t hr = XmlText(build, &text);
    if (hr != kHrOk) {
      TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindGuestOs : failed to get build_number text. Hr=%08lx.\n", hr);
    } else {
      TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindGuestOs : found build number %s.\n", text.c_str());
      for (const BuildRow& row : kBuildNumbers)
        if (WStrICmpAZ(row.build, text.c_str()) == 0) {
          m_Guest = row.code;
          return;
        }
      if ((m_Guest = LaterRelease(text)) != GuestOsUnknown) return;
      TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindGuestOs : build number %s isn't recognised.\n", text.c_str());
    }
  }

  XmlElement settings = FindSingleElement(root, "settings");
  if (!settings) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindGuestOs : didn't find settings element either.\n");
    return;
  }
  XmlElement guest = FindSingleElement(settings, "guest_os");
  if (!guest) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindGuestOs : didn't find settings->guest_os element.\n");
    return;
  }
  std::u16string text;
  uint32_t hr = XmlText(guest, &text);
  if (hr != kHrOk) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindGuestOs : failed to get guest_os text hr=%08lx.\n", hr);
    return;
  }
  TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindGuestOs : got guest_os \"%s\".\n", text.c_str());
  int32_t number = XmlWtoi(text);
  if (number >= 0 && number < static_cast<int32_t>(sizeof(kGuestOsNumbers) / sizeof(kGuestOsNumbers[0])))
    m_Guest = kGuestOsNumbers[number];
  else
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindGuestOs : unrecognised guest %d.\n", number);
}

int32_t CMicrosoftVirtualMachine::FindDisks(XmlElement root) {
  int32_t count = 0;
  XmlElement hardware = FindSingleElement(root, "hardware");
  if (!hardware) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindDisks : didn't find hardware element.\n");
    return 0;
  }
  FindDisks(hardware, "ide_adapter", &count);
  FindDisks(hardware, "scsi_adapter", &count);
  return count;
}

void CMicrosoftVirtualMachine::FindDisks(XmlElement hardware, const char* adapter, int32_t* count) {
  std::u16string name = Wide(adapter);
  XmlElement element = FindSingleElement(hardware, adapter);
  if (!element) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindDisks : didn't find hardware->%s element.\n", name.c_str());
    return;
  }
  std::vector<XmlElement> locations = XmlElementsByTagName(element, "location");
  TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindDisks : hardware=>%s has %d locations.\n", name.c_str(),
               static_cast<int32_t>(locations.size()));
  for (size_t i = 0; i < locations.size(); ++i) {
    TRACE_DETAIL(u"CMicrosoftVirtualMachine::FindDisks : hardware=>%s location %d. Processing....\n",
                 name.c_str(), static_cast<int32_t>(i));
    ProcessLocation(locations[i], count);
  }
}

void CMicrosoftVirtualMachine::ProcessLocation(XmlElement location, int32_t* count) {
  XmlElement driveType = FindSingleElement(location, "drive_type");
  if (!driveType) {
    TRACE_DETAIL(u"    CMicrosoftVirtualMachine::ProcessLocation : no drive_type element.\n");
    return;
  }
  std::u16string text;
  uint32_t hr = XmlText(driveType, &text);
  if (hr != kHrOk) {
    TRACE_DETAIL(u"    CMicrosoftVirtualMachine::ProcessLocation : failed to get text for drive_type %08lx.\n", hr);
    return;
  }
  TRACE_DETAIL(u"    CMicrosoftVirtualMachine::ProcessLocation : drive_type = \"%s\".\n", text.c_str());
  if (XmlWtoi(text) != 1) return;

  XmlElement pathname = FindSingleElement(location, "pathname");
  if (!pathname) {
    TRACE_DETAIL(u"    CMicrosoftVirtualMachine::ProcessLocation : no pathname element.\n");
    return;
  }
  XmlElement absolute = FindSingleElement(pathname, "absolute");
  if (!absolute) {
    TRACE_DETAIL(u"    CMicrosoftVirtualMachine::ProcessLocation : no absolute element.\n");
    return;
  }
  hr = XmlText(absolute, &text);
  if (hr != kHrOk) {
    TRACE_DETAIL(u"    CMicrosoftVirtualMachine::ProcessLocation : failed to get absolute text %08lx.\n", hr);
    return;
  }
  TRACE_DETAIL(u"    CMicrosoftVirtualMachine::ProcessLocation : location = \"%s\"\n", text.c_str());
  if (text.empty()) return;
  if (m_DiskNames && *count < m_DiskCount) m_DiskNames[*count] = WStrDup(text.c_str());
  ++*count;
}

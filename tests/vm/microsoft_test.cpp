// Microsoft .vmc configurations: the guest rules; UTF-8 and UTF-16 documents, parts counted as
// absent, entities and documents refused; entity expansion bounds.
#include <gtest/gtest.h>

#include <utility>

#include "support/trace_capture.h"
#include "vm_test_util.h"

using namespace vmtest;
using namespace vmpeek;

namespace {

constexpr uint32_t kFail = 0x80004005u;
const std::string kSaved =
    "<saved_state><path><absolute type=\"string\">C:\\VMs\\XP\\XP.vsv</absolute></path></saved_state>";
const std::string kIntegration =
    "<integration><microsoft><version><build_number type=\"string\">5.01.2600</build_number></version></microsoft>"
    "</integration>";

// A configuration document; tests change single parts.
struct Doc {
  std::string root = "preferences";
  std::string savedState = kSaved;
  std::string integration = kIntegration;
  std::string settings = "<settings><guest_os type=\"integer\">6</guest_os></settings>";
  std::string doctype;
  // Four IDE locations (a disk, a drive of type 2, an empty path, a disk nested deeper with blanks
  // around its path) and one SCSI disk.
  std::string hardware =
      "<hardware>\n<pci_bus>\n<ide_adapter>\n"
      "  <ide_controller id=\"0\"><location id=\"0\"><drive_type type=\"integer\">1</drive_type>\n"
      "    <pathname><absolute type=\"string\">C:\\VMs\\XP\\Windows XP.vhd</absolute>\n"
      "    <relative type=\"string\">.\\Windows XP.vhd</relative></pathname></location>\n"
      "    <location id=\"1\"><drive_type>2</drive_type>\n"
      "    <pathname><absolute>D:\\cd.iso</absolute></pathname></location>\n"
      "  </ide_controller><ide_controller id=\"1\">\n"
      "    <location id=\"0\"><drive_type>1</drive_type><pathname><absolute/></pathname></location>\n"
      "    <location id=\"1\"><wrap><drive_type> 1 </drive_type>"
      "<pathname><absolute>\n  C:\\VMs\\XP\\Data \xC3\x9C.vhd\n</absolute></pathname></wrap></location>\n"
      "  </ide_controller>\n</ide_adapter>\n"
      "<scsi_adapter><location><drive_type>1</drive_type><pathname><absolute>E:\\scsi.vhd</absolute></pathname>"
      "</location></scsi_adapter>\n</pci_bus>\n</hardware>\n";

  std::string Text(const std::string& encoding = "UTF-8") const {
    return "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\n" + doctype +
           "<!-- Microsoft Virtual Machine Options and Settings -->\n<" + root +
           ">\n<version type=\"string\">2.0</version>\n" + savedState + "\n" + integration + "\n" + settings +
           "\n" + hardware + "</" + root + ">\n";
  }
};

// The text of the default document with some parts replaced.
std::string Edited(std::initializer_list<std::pair<std::string Doc::*, std::string>> parts) {
  Doc doc;
  for (const auto& [part, value] : parts) doc.*part = value;
  return doc.Text();
}

// A hard disk location of that path.
std::string Location(const std::string& path) {
  return "<location><drive_type>1</drive_type><pathname><absolute>" + path + "</absolute></pathname></location>";
}

// UTF-16 bytes (little- or big-endian) with a byte-order mark and CR LF line ends.
std::string Utf16(const std::string& utf8, bool bigEndian) {
  std::string crlf;
  for (char c : utf8) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const std::u16string units = u"\uFEFF" + Utf8ToUtf16(crlf);
  std::string out(units.size() * 2, '\0');
  for (size_t i = 0; i < units.size(); ++i)
    (bigEndian ? PutBE16 : PutLE16)(reinterpret_cast<uint8_t*>(out.data()) + 2 * i, units[i]);
  return out;
}

}  // namespace

TEST(MicrosoftVirtualMachine, GuestRules) {
  TempDir dir;
  struct Row {
    std::string build;    // empty: no integration element
    std::string guestOs;  // empty: no settings element
    GuestOs code;
    std::string line;     // what the trace says about it, when that matters ("" matches any line)
  };
  const Row rows[] = {
      // Past the table of exact builds, later releases by version and build range; a build not of
      // that form falls through to guest_os.
      {"6.01.7601", "", GuestOsWindows7, ""},   {"10.00.19045", "", GuestOsWindows10, ""},
      {"10.00.20348", "", GuestOsWindows2022x64, ""}, {"10.00.22631", "", GuestOsWindows11x64, ""},
      {"6.1.7601", "8", GuestOsWindowsVista, "build number 6.1.7601 isn't recognised."},
      {"6.01.7601a", "", GuestOsUnknown, ""},   {"6.00.6001", "", GuestOsUnknown, ""},
      // guest_os numbers 0 to 9, read as the leading integer.
      {"", "0", GuestOsWindows9x, "didn't find integration element."}, {"", "9", GuestOsNonWindows, ""},
      {"", "10", GuestOsUnknown, "unrecognised guest 10."},            {"", "-1", GuestOsUnknown, ""},
      {"", "abc", GuestOsWindows9x, "got guest_os \"abc\"."},          {"", " +7x", GuestOsNonWindows, ""},
      {"", "", GuestOsUnknown, "didn't find settings element either."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.build + "/" + row.guestOs);
    ClearTrace();
    Machine m;
    const std::string build = "<integration><build_number>" + row.build + "</build_number></integration>",
                      guest = "<settings><guest_os>" + row.guestOs + "</guest_os></settings>";
    OpenText(dir, "m.vmc",
             Edited({{&Doc::integration, row.build.empty() ? "" : build},
                     {&Doc::settings, row.guestOs.empty() ? "" : guest}}),
             &m);
    ASSERT_EQ(m.status, 0u);
    EXPECT_EQ(m->GetGuestOperatingSystem(), row.code);
    EXPECT_TRUE(TraceContains("VMParseDetails", row.line));
  }
}

// Each document either opens, with what was found in it, or is refused; the trace names why.
TEST(MicrosoftVirtualMachine, DocumentsOpenedOrRefused) {
  TempDir dir;
  struct Row {
    const char* what;
    std::string bytes;
    uint32_t status;
    std::vector<std::string> disks;
    bool suspended;
    GuestOs guest;
    std::string trace;
  };
  // Drive type 2 and an empty path are no disks; the build number decides over guest_os.
  const std::vector<std::string> all = {"C:\\VMs\\XP\\Windows XP.vhd", "C:\\VMs\\XP\\Data \xC3\x9C.vhd",
                                       "E:\\scsi.vhd"};
  const std::string unloaded = "load indicated failure";
  WriteText(dir.file("secret.txt"), "C:\\leaked\\secret.vhd");
  WriteText(dir.file("evil.dtd"), "<!ENTITY inner \"C:\\leaked\\via-dtd.vhd\">");
  const std::string entities = "<!DOCTYPE preferences [<!ENTITY secret SYSTEM \"file://" + dir.file("secret.txt") +
                               "\"><!ENTITY % dtd SYSTEM \"file://" + dir.file("evil.dtd") + "\"> %dtd;" +
                               "<!ENTITY net SYSTEM \"http://127.0.0.1:9/x\"><!ENTITY dir \"C:\\VMs\">]>\n";
  const Row rows[] = {
      {"UTF-8", Doc().Text(), 0, all, true, GuestOsWindowsXP, "returning success : 00000000"},
      {"UTF-16LE", Utf16(Doc().Text("UTF-16"), false), 0, all, true, GuestOsWindowsXP, "found 3 disks"},
      {"UTF-16BE", Utf16(Doc().Text("UTF-16"), true), 0, all, true, GuestOsWindowsXP, "found 3 disks"},
      {"root name ignores case", Edited({{&Doc::root, "Preferences"}}), 0, all, true, GuestOsWindowsXP, "3 disks"},
      {"repeated elements count as absent",
       Edited({{&Doc::savedState, kSaved + "<o>" + kSaved + "</o>"}, {&Doc::integration, kIntegration + kIntegration}}),
       0, all, false, GuestOsWindows2003, "didn't find saved_state element"},
      {"empty saved state, repeated hardware",
       Edited({{&Doc::savedState, "<saved_state><absolute></absolute></saved_state>"},
               {&Doc::hardware, "<hardware/><hardware/>"}}),
       0, {}, false, GuestOsWindowsXP, "didn't find hardware element."},
      {"locations without a type, a pathname or one absolute",
       Edited({{&Doc::hardware, "<hardware><scsi_adapter><location><pathname><absolute>x.vhd</absolute></pathname>"
                                "</location><location><drive_type>1</drive_type></location>" +
                                Location("a.vhd</absolute><absolute>b.vhd") + "</scsi_adapter></hardware>"}}),
       0, {}, true, GuestOsWindowsXP, "no absolute element."},
      {"external entities stay empty, internal ones expand",
       Edited({{&Doc::doctype, entities}, {&Doc::hardware, "<hardware><ide_adapter>" + Location("&secret;") +
                                                            Location("&net;") + Location("&dir;\\inner.vhd") +
                                                            "</ide_adapter></hardware>"}}),
       0, {"C:\\VMs\\inner.vhd"}, true, GuestOsWindowsXP, "found 1 disks"},
      {"wrong root", Edited({{&Doc::root, "config"}}), kFail, {}, false, GuestOsUnknown, "It got config"},
      {"mismatched tags", "<preferences><hardware></preferences>", kFail, {}, false, GuestOsUnknown, unloaded},
      {"cut short", "<preferences>", kFail, {}, false, GuestOsUnknown, unloaded},
      {"empty file", "", kFail, {}, false, GuestOsUnknown, unloaded},
      {"UTF-16 cut short", std::string("\xFF\xFE<\0p\0", 6), kFail, {}, false, GuestOsUnknown, unloaded},
      {"over the size bound", Edited({{&Doc::settings, "<!--" + std::string(5u << 20, 'x') + "-->"}}), kFail, {}, false,
       GuestOsUnknown, unloaded},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ClearTrace();
    Machine m;
    OpenText(dir, "m.vmc", row.bytes, &m);
    ASSERT_EQ(m.status, row.status);
    EXPECT_TRUE(TraceContains("VMParseDetails", row.trace) || TraceContains("VMParseErrors", row.trace));
    if (row.status != 0) {
      EXPECT_EQ(m.p, nullptr);
      continue;
    }
    EXPECT_EQ(m.Disks(), row.disks);
    EXPECT_EQ(m->IsSuspended(), row.suspended);
    EXPECT_EQ(m->GetGuestOperatingSystem(), row.guest);
  }
  Machine missing;
  OpenMachine(dir.file("absent.vmc"), &missing);
  EXPECT_EQ(missing.status, kFail);
}

TEST(MicrosoftVirtualMachine, EntityExpansionIsBounded) {
  TempDir dir;
  // Expansion bombs (nested entities, or one large entity in many elements, whose copies are
  // charged to one budget) are refused or cut off without a huge allocation.
  Doc bomb, wide;
  bomb.doctype = "<!DOCTYPE preferences [<!ENTITY a \"" + std::string(64, 'a') + "\">";
  for (char c = 'b'; c <= 'k'; ++c) {
    bomb.doctype += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i) bomb.doctype += "&" + std::string(1, static_cast<char>(c - 1)) + ";";
    bomb.doctype += "\">";
  }
  bomb.doctype += "]>\n";
  bomb.hardware = "<hardware><ide_adapter>" + Location("&k;") + "</ide_adapter></hardware>";
  wide.doctype = "<!DOCTYPE preferences [<!ENTITY big \"C:\\" + std::string(200000, 'd') + ".vhd\">]>\n";
  wide.hardware = "<hardware><ide_adapter>";
  for (int i = 0; i < 50; ++i) wide.hardware += Location("&big;");
  wide.hardware += "</ide_adapter></hardware>";
  for (const Doc* hostile : {&bomb, &wide}) {
    Machine h;
    OpenText(dir, "m.vmc", hostile->Text(), &h);
    if (h.status == 0) {
      EXPECT_LE(h->GetDiskCount(), 6);
    } else {
      EXPECT_EQ(h.status, kFail);
    }
  }
}

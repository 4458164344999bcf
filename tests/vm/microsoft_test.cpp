// Microsoft .vmc configurations: UTF-8 and UTF-16 documents, the guest tables, disk locations,
// elements that count as absent, bad roots and documents, and hostile entities.
#include <gtest/gtest.h>

#include "support/trace_capture.h"
#include "vm_test_util.h"

using namespace vmtest;

namespace {

struct Doc {
  std::string root = "preferences";
  std::string savedState = "<saved_state><path><absolute type=\"string\">C:\\VMs\\XP\\XP.vsv</absolute></path></saved_state>";
  std::string integration = "<integration><microsoft><version><build_number type=\"string\">5.01.2600</build_number>"
                            "</version></microsoft></integration>";
  std::string settings = "<settings><guest_os type=\"integer\">6</guest_os></settings>";
  std::string doctype;
  std::string hardware =
      "<hardware>\n"
      "  <pci_bus>\n"
      "    <ide_adapter>\n"
      "      <ide_controller id=\"0\">\n"
      "        <location id=\"0\">\n"
      "          <drive_type type=\"integer\">1</drive_type>\n"
      "          <pathname>\n"
      "            <absolute type=\"string\">C:\\VMs\\XP\\Windows XP.vhd</absolute>\n"
      "            <relative type=\"string\">.\\Windows XP.vhd</relative>\n"
      "          </pathname>\n"
      "        </location>\n"
      "        <location id=\"1\"><drive_type>2</drive_type>"
      "<pathname><absolute>D:\\cd.iso</absolute></pathname></location>\n"
      "      </ide_controller>\n"
      "      <ide_controller id=\"1\">\n"
      "        <location id=\"0\"><drive_type>1</drive_type><pathname><absolute/></pathname></location>\n"
      "        <location id=\"1\"><wrap><drive_type> 1 </drive_type>"
      "<pathname><absolute>\n  C:\\VMs\\XP\\Data \xC3\x9C.vhd\n</absolute></pathname></wrap></location>\n"
      "      </ide_controller>\n"
      "    </ide_adapter>\n"
      "    <scsi_adapter><location><drive_type>1</drive_type>"
      "<pathname><absolute>E:\\scsi.vhd</absolute></pathname></location></scsi_adapter>\n"
      "  </pci_bus>\n"
      "</hardware>\n";

  std::string Text(const std::string& encoding = "UTF-8") const {
    return "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\n" + doctype +
           "<!-- Microsoft Virtual Machine Options and Settings -->\n<" + root +
           ">\n<version type=\"string\">2.0</version>\n" + savedState + "\n" + integration + "\n" + settings +
           "\n" + hardware + "</" + root + ">\n";
  }
};

// UTF-16 bytes (little- or big-endian) with a byte-order mark and CR LF line ends.
std::vector<uint8_t> Utf16Bytes(const std::string& utf8, bool bigEndian) {
  std::string crlf;
  for (char c : utf8) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  std::u16string units = Utf8ToUtf16(crlf);
  std::vector<uint8_t> out = bigEndian ? std::vector<uint8_t>{0xFE, 0xFF} : std::vector<uint8_t>{0xFF, 0xFE};
  for (char16_t u : units) {
    out.push_back(static_cast<uint8_t>(bigEndian ? u >> 8 : u));
    out.push_back(static_cast<uint8_t>(bigEndian ? u : u >> 8));
  }
  return out;
}

const std::vector<std::string> kDisks = {"C:\\VMs\\XP\\Windows XP.vhd", "C:\\VMs\\XP\\Data \xC3\x9C.vhd", "E:\\scsi.vhd"};

void OpenText(const TempDir& dir, const std::string& text, Machine* m) {
  WriteText(dir.file("m.vmc"), text);
  OpenMachine(dir.file("m.vmc"), m);
}

}  // namespace

TEST(MicrosoftVirtualMachine, Utf16AndUtf8Documents) {
  TempDir dir;
  Doc doc;
  struct Form {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  const std::string utf8 = doc.Text();
  const Form forms[] = {
      {"UTF-16LE with BOM and CRLF", Utf16Bytes(doc.Text("UTF-16"), false)},
      {"UTF-16BE with BOM and CRLF", Utf16Bytes(doc.Text("UTF-16"), true)},
      {"UTF-8", std::vector<uint8_t>(utf8.begin(), utf8.end())},
  };
  for (const Form& form : forms) {
    SCOPED_TRACE(form.name);
    WriteAll(dir.file("XP.vmc"), form.bytes);
    ClearTrace();
    Machine m;
    OpenMachine(dir.file("XP.vmc"), &m);
    ASSERT_EQ(m.status, 0u);
    EXPECT_EQ(m.Disks(), kDisks);
    EXPECT_EQ(m->GetGuestOperatingSystem(), vmpeek::GuestOsWindowsXP);
    EXPECT_TRUE(m->IsSuspended());
    auto details = RecentTrace("VMParseDetails");
    auto has = [&](const std::string& line) { return std::find(details.begin(), details.end(), line) != details.end(); };
    EXPECT_TRUE(has("CMicrosoftVirtualMachine::FindSuspended : saved_state->absolute name = \"C:\\VMs\\XP\\XP.vsv\""));
    EXPECT_TRUE(has("CMicrosoftVirtualMachine::FindGuestOs : found build number 5.01.2600."));
    EXPECT_TRUE(has("CMicrosoftVirtualMachine::FindDisks : hardware=>ide_adapter has 4 locations."));
    EXPECT_TRUE(has("CMicrosoftVirtualMachine::FindDisks : hardware=>scsi_adapter location 0. Processing...."));
    EXPECT_TRUE(has("    CMicrosoftVirtualMachine::ProcessLocation : drive_type = \"2\"."));
    EXPECT_TRUE(has("    CMicrosoftVirtualMachine::ProcessLocation : location = \"\""));
    EXPECT_TRUE(has("CMicrosoftVirtualMachine::Open : found 3 disks"));
    EXPECT_EQ(details.back(), "CMicrosoftVirtualMachine::Open : returning success : 00000000");
    EXPECT_FALSE(TraceContains("VMParseDetails", "got guest_os"));  // the build number decided
  }
}

TEST(MicrosoftVirtualMachine, GuestTables) {
  TempDir dir;
  struct Row {
    std::string build;     // empty: no integration element
    std::string guestOs;   // empty: no settings element
    vmpeek::GuestOs code;
    std::string line;
  };
  const Row rows[] = {
      {"4.00.1381", "", vmpeek::GuestOsWindowsNT, ""},
      {"5.00.2195", "", vmpeek::GuestOsWindows2000, ""},
      {"5.02.3790", "", vmpeek::GuestOsWindows2003, ""},
      {"6.00.6000", "", vmpeek::GuestOsWindowsVista, ""},
      {"6.10.6100", "", vmpeek::GuestOsLonghorn, ""},
      // Later releases by version and build; a build that is not of that form falls through.
      {"6.01.7601", "", vmpeek::GuestOsWindows7, ""},  {"6.02.9200", "", vmpeek::GuestOsWindows8, ""},
      {"6.03.9600", "", vmpeek::GuestOsWindows81, ""}, {"10.00.19045", "", vmpeek::GuestOsWindows10, ""},
      {"10.00.20348", "", vmpeek::GuestOsWindows2022x64, ""}, {"10.00.22631", "", vmpeek::GuestOsWindows11x64, ""},
      {"6.1.7601", "8", vmpeek::GuestOsWindowsVista, "build number 6.1.7601 isn't recognised."},
      {"6.01.7601a", "", vmpeek::GuestOsUnknown, ""}, {"6.00.6001", "", vmpeek::GuestOsUnknown, ""},
      {"5.1.2600", "3", vmpeek::GuestOsWindowsXP,
       "CMicrosoftVirtualMachine::FindGuestOs : build number 5.1.2600 isn't recognised."},
      {"", "6", vmpeek::GuestOsWindows2003,
       "CMicrosoftVirtualMachine::FindGuestOs : didn't find integration element. Tools aren't installed in guest."},
      {"", "10", vmpeek::GuestOsUnknown, "CMicrosoftVirtualMachine::FindGuestOs : unrecognised guest 10."},
      {"", "-1", vmpeek::GuestOsUnknown, "CMicrosoftVirtualMachine::FindGuestOs : unrecognised guest -1."},
      {"", "abc", vmpeek::GuestOsWindows9x, "CMicrosoftVirtualMachine::FindGuestOs : got guest_os \"abc\"."},
      {"", " +7x", vmpeek::GuestOsNonWindows, ""},
      {"", "", vmpeek::GuestOsUnknown, "CMicrosoftVirtualMachine::FindGuestOs : didn't find settings element either."},
      {"", "0", vmpeek::GuestOsWindows9x, ""},    {"", "1", vmpeek::GuestOsWindowsNT, ""},
      {"", "2", vmpeek::GuestOsWindows2000, ""},  {"", "3", vmpeek::GuestOsWindowsXP, ""},
      {"", "4", vmpeek::GuestOsWindowsNT, ""},    {"", "5", vmpeek::GuestOsWindows2000, ""},
      {"", "6", vmpeek::GuestOsWindows2003, ""},  {"", "7", vmpeek::GuestOsNonWindows, ""},
      {"", "8", vmpeek::GuestOsWindowsVista, ""}, {"", "9", vmpeek::GuestOsNonWindows, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.build + "/" + row.guestOs);
    Doc doc;
    doc.integration = row.build.empty() ? "" : "<integration><build_number>" + row.build + "</build_number></integration>";
    doc.settings = row.guestOs.empty() ? "" : "<settings><guest_os>" + row.guestOs + "</guest_os></settings>";
    ClearTrace();
    Machine m;
    OpenText(dir, doc.Text(), &m);
    ASSERT_EQ(m.status, 0u);
    EXPECT_EQ(m->GetGuestOperatingSystem(), row.code);
    if (!row.line.empty()) {
      EXPECT_TRUE(TraceContains("VMParseDetails", row.line));
    }
  }
}

TEST(MicrosoftVirtualMachine, RepeatedAndMissingElementsCountAsAbsent) {
  TempDir dir;
  Doc doc;
  doc.savedState += "<other>" + doc.savedState + "</other>";  // two saved_state elements
  doc.integration += doc.integration;                         // two integration elements
  doc.settings = "<settings><guest_os>8</guest_os></settings>";
  ClearTrace();
  Machine m;
  OpenText(dir, doc.Text(), &m);
  ASSERT_EQ(m.status, 0u);
  EXPECT_FALSE(m->IsSuspended());
  EXPECT_EQ(m->GetGuestOperatingSystem(), vmpeek::GuestOsWindowsVista);
  EXPECT_TRUE(TraceContains("VMParseDetails", "CMicrosoftVirtualMachine::FindSuspended : didn't find saved_state element"));

  Doc noHardware;
  noHardware.hardware = "<hardware/><hardware/>";
  noHardware.savedState = "<saved_state><absolute></absolute></saved_state>";
  ClearTrace();
  Machine bare;
  OpenText(dir, noHardware.Text(), &bare);
  ASSERT_EQ(bare.status, 0u);
  EXPECT_EQ(bare->GetDiskCount(), 0);
  EXPECT_FALSE(bare->IsSuspended());
  EXPECT_TRUE(TraceContains("VMParseDetails", "CMicrosoftVirtualMachine::FindDisks : didn't find hardware element."));

  Doc partial;
  partial.hardware = "<hardware><scsi_adapter><location><pathname><absolute>x.vhd</absolute></pathname></location>"
                     "<location><drive_type>1</drive_type></location>"
                     "<location><drive_type>1</drive_type><pathname><absolute>a.vhd</absolute><absolute>b.vhd</absolute>"
                     "</pathname></location></scsi_adapter></hardware>";
  ClearTrace();
  Machine p;
  OpenText(dir, partial.Text(), &p);
  ASSERT_EQ(p.status, 0u);
  EXPECT_EQ(p->GetDiskCount(), 0);
  EXPECT_TRUE(TraceContains("VMParseDetails", "CMicrosoftVirtualMachine::FindDisks : didn't find hardware->ide_adapter element."));
  EXPECT_TRUE(TraceContains("VMParseDetails", "    CMicrosoftVirtualMachine::ProcessLocation : no drive_type element."));
  EXPECT_TRUE(TraceContains("VMParseDetails", "    CMicrosoftVirtualMachine::ProcessLocation : no pathname element."));
  EXPECT_TRUE(TraceContains("VMParseDetails", "    CMicrosoftVirtualMachine::ProcessLocation : no absolute element."));
  EXPECT_EQ(p->GetDiskName(0), nullptr);
}

TEST(MicrosoftVirtualMachine, BadRootsAndDocuments) {
  TempDir dir;
  Doc upper;
  upper.root = "Preferences";
  Machine ok;
  OpenText(dir, upper.Text(), &ok);
  EXPECT_EQ(ok.status, 0u);

  Doc wrong;
  wrong.root = "config";
  ClearTrace();
  Machine bad;
  OpenText(dir, wrong.Text(), &bad);
  EXPECT_EQ(bad.status, 0x80004005u);
  EXPECT_EQ(bad.p, nullptr);
  EXPECT_TRUE(TraceContains("VMParseErrors",
                            "CMicrosoftVirtualMachine::Open : get_documentElement didn't get preferences. It got config"));
  EXPECT_TRUE(TraceContains("VMParseDetails", "CMicrosoftVirtualMachine::Open : returning failure : 80004005"));

  const std::string broken[] = {
      "<preferences><hardware></preferences>",  // mismatched tags
      "<preferences>",                          // cut short
      "",                                       // empty file
      std::string("\xFF\xFE<\0p\0", 6),         // UTF-16 cut mid-document
  };
  for (const std::string& text : broken) {
    ClearTrace();
    Machine m;
    OpenText(dir, text, &m);
    EXPECT_EQ(m.status, 0x80004005u);
    EXPECT_EQ(m.p, nullptr);
    EXPECT_EQ(RecentTrace("VMParseErrors").back(), "CMicrosoftVirtualMachine::Open : load indicated failure");
  }
  Machine missing;
  OpenMachine(dir.file("absent.vmc"), &missing);
  EXPECT_EQ(missing.status, 0x80004005u);

  // Above the size bound: refused without parsing.
  Doc huge;
  huge.settings += "<!--" + std::string(5u << 20, 'x') + "-->";
  Machine big;
  OpenText(dir, huge.Text(), &big);
  EXPECT_EQ(big.status, 0x80004005u);
}

TEST(MicrosoftVirtualMachine, EntitiesAreNeverFetched) {
  TempDir dir;
  WriteText(dir.file("secret.txt"), "C:\\leaked\\secret.vhd");
  WriteText(dir.file("evil.dtd"), "<!ENTITY inner \"C:\\leaked\\via-dtd.vhd\">");
  const std::string url = "file://" + dir.file("secret.txt");
  Doc doc;
  doc.doctype = "<!DOCTYPE preferences [\n"
                "  <!ENTITY secret SYSTEM \"" + url + "\">\n"
                "  <!ENTITY % dtd SYSTEM \"file://" + dir.file("evil.dtd") + "\"> %dtd;\n"
                "  <!ENTITY net SYSTEM \"http://127.0.0.1:9/x\">\n"
                "  <!ENTITY dir \"C:\\VMs\">\n"
                "]>\n";
  doc.hardware = "<hardware><ide_adapter>"
                 "<location><drive_type>1</drive_type><pathname><absolute>&secret;</absolute></pathname></location>"
                 "<location><drive_type>1</drive_type><pathname><absolute>&net;</absolute></pathname></location>"
                 "<location><drive_type>1</drive_type><pathname><absolute>&dir;\\inner.vhd</absolute></pathname></location>"
                 "</ide_adapter></hardware>";
  ClearTrace();
  Machine m;
  OpenText(dir, doc.Text(), &m);
  ASSERT_EQ(m.status, 0u);
  // External entities stay empty; an entity declared in the document itself expands.
  EXPECT_EQ(m.Disks(), std::vector<std::string>{"C:\\VMs\\inner.vhd"});
  EXPECT_FALSE(TraceContains("VMParseDetails", "leaked"));

  // An exponential entity expansion is refused or cut off, without a huge allocation.
  Doc bomb;
  bomb.doctype = "<!DOCTYPE preferences [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
  for (char c = 'b'; c <= 'k'; ++c) {
    std::string prev(1, static_cast<char>(c - 1));
    bomb.doctype += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i) bomb.doctype += "&" + prev + ";";
    bomb.doctype += "\">";
  }
  bomb.doctype += "]>\n";
  bomb.hardware = "<hardware><ide_adapter><location><drive_type>1</drive_type><pathname><absolute>&k;</absolute>"
                  "</pathname></location></ide_adapter></hardware>";
  Machine b;
  OpenText(dir, bomb.Text(), &b);
  if (b.status == 0) {
    EXPECT_EQ(b->GetDiskCount(), 0);
  } else {
    EXPECT_EQ(b.status, 0x80004005u);
  }

  // One large entity referenced from many elements: its copies are charged to one budget.
  Doc wide;
  wide.doctype = "<!DOCTYPE preferences [<!ENTITY big \"C:\\" + std::string(200000, 'd') + ".vhd\">]>\n";
  wide.hardware = "<hardware><ide_adapter>";
  for (int i = 0; i < 50; ++i)
    wide.hardware += "<location><drive_type>1</drive_type><pathname><absolute>&big;</absolute></pathname></location>";
  wide.hardware += "</ide_adapter></hardware>";
  ClearTrace();
  Machine w;
  OpenText(dir, wide.Text(), &w);
  if (w.status == 0) {
    EXPECT_LE(w->GetDiskCount(), 6);
    EXPECT_TRUE(TraceContains("VMParseDetails",
                              "    CMicrosoftVirtualMachine::ProcessLocation : failed to get absolute text 80004005."));
  } else {
    EXPECT_EQ(w.status, 0x80004005u);
  }
}

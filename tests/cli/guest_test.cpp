// The guest commands end to end on the sample Windows guest (a VMDK child over its parent with
// two NTFS volumes), checked against The Sleuth Kit and hivex on the same disk.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <set>
#include <sstream>

#include "cli/cli_util.h"

namespace clitest {
namespace {

constexpr uint64_t kSystemStart = 2048;  // the sample's C: partition, in sectors

class Guest : public ::testing::Test {
 protected:
  // A private copy per test: writing tests change it.
  void SetUp() override {
    static TempDir made;
    static std::string base = [] {
      Sh(Quote(std::string(VMPEEK_SOURCE_DIR) + "/samples/make-guest.sh") + " " + Quote(made.path()) + " " +
         Quote(std::string(VMPEEK_BUILD_DIR) + "/bin/ntfs_fill") + " >/dev/null");
      return made.path() + "/windows";
    }();
    Sh("cp " + Quote(base) + "/* " + Quote(m_Dir.path()));
    m_Vmx = Quote(m_Dir.file("guest.vmx"));
  }
  // The child flattened by qemu-img, for the oracles.
  std::string Raw() { return QemuToRaw(m_Dir.file("guest.vmdk"), m_Dir.file("flat.raw")); }
  std::string Icat(const std::string& raw, const std::string& path) {
    std::string inode = Sh("fls -r -p -o " + std::to_string(kSystemStart) + " " + Quote(raw) + " | awk -F'\\t' '$2==\"" +
                           path + "\" {print $1}' | awk '{print $NF}' | tr -d ':'");
    return Sh("icat -o " + std::to_string(kSystemStart) + " " + Quote(raw) + " " + inode);
  }
  std::string Hive(const std::string& raw, const std::string& name) {
    std::string file = m_Dir.file(name + ".hive");
    WriteText(file, Icat(raw, "Windows/System32/config/" + name));
    return file;
  }
  TempDir m_Dir;
  std::string m_Vmx;
};

TEST_F(Guest, FilesReadAsTheSleuthKitSeesThem) {
  std::string raw = Raw();
  // Every name of the system volume, recursively, against fls.
  std::set<std::string> ours, theirs;
  for (const auto& e : VmpeekJson("ls " + m_Vmx + " / --recursive")) ours.insert(e["path"].get<std::string>());
  std::istringstream fls(Sh("fls -r -p -o 2048 " + Quote(raw) + " | grep -v -e '\\$' -e OrphanFile | cut -f2"));
  for (std::string p; std::getline(fls, p);) theirs.insert("\\" + std::regex_replace(p, std::regex("/"), "\\"));
  EXPECT_EQ(ours, theirs);
  // Bytes, through every path spelling; the later document exists only in the child.
  const std::string docs = "Users/Alice/Documents/";
  for (const char* spelling : {"/Users/Alice/Documents/later.txt", "\\USERS\\alice\\documents\\LATER.TXT",
                               "C:\\..\\Users\\Public\\..\\Alice\\Documents\\later.txt"}) {
    Result r = Vmpeek("cat " + m_Vmx + " " + Quote(spelling));
    EXPECT_EQ(r.status, 0) << spelling << r.err;
    EXPECT_EQ(r.out, Icat(raw, docs + "later.txt")) << spelling;
  }
  // get: a file under its own name in the current folder; a folder with --recursive.
  ASSERT_EQ(Vmpeek("get " + m_Vmx + " /Users/Alice/Desktop/large.bin", "", m_Dir.path()).status, 0);
  EXPECT_EQ(ReadAll(m_Dir.file("large.bin")).size(), 1048576u);
  ASSERT_EQ(Vmpeek("get " + m_Vmx + " /Users/Alice " + Quote(m_Dir.file("alice")) + " --recursive").status, 0);
  EXPECT_EQ(Sh("cat " + Quote(m_Dir.file("alice/Documents/notes.txt"))), Icat(raw, docs + "notes.txt"));
  // The data volume by its letter, and a letter the guest does not have.
  nlohmann::json d = VmpeekJson("ls " + m_Vmx + " / --drive D");
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0]["type"], "directory");
  ExpectExit(Vmpeek("ls " + m_Vmx + " / --drive Q"), 1, "C:, D:");
  ExpectExit(Vmpeek("cat " + m_Vmx + " /no/such.txt"), 1, "ERROR_PATH_NOT_FOUND");
}

TEST_F(Guest, RegistryReadsAsHivexSeesIt) {
  std::string raw = Raw();
  std::string system = Hive(raw, "SYSTEM"), software = Hive(raw, "SOFTWARE");
  const std::pair<std::string, nlohmann::json> queries[] = {  // arguments of query, its one value
      {"'HKLM\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName'",
       {{"data", Sh("hivexget " + Quote(system) + " 'ControlSet001\\Control\\ComputerName\\ComputerName' ComputerName | tr -d '\\n'")}}},
      {"'HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion' CurrentMajorVersionNumber",
       {{"data", 10}, {"type", "REG_DWORD"}}},
      {"'HKCR\\.txt' @", {{"name", ""}, {"data", "txtfile"}}}};
  for (const auto& [args, value] : queries)
    ExpectJsonHas(VmpeekJson("reg " + m_Vmx + " query " + args), {{"values", nlohmann::json::array({value})}}, args);
  // export: what regedit writes, and hivexregedit reads it back into the same values.
  std::string reg = m_Dir.file("cv.reg");
  ASSERT_EQ(Vmpeek("reg " + m_Vmx + " export 'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion' --output " + Quote(reg)).status, 0);
  EXPECT_EQ(ReadBytes(reg, 0, 2), (std::vector<uint8_t>{0xFF, 0xFE}));  // UTF-16LE with its mark
  std::string text = Sh("iconv -f UTF-16 -t UTF-8 " + Quote(reg));
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"), std::string::npos);
  std::string copy = m_Dir.file("merged.hive");
  Sh("cp " + Quote(std::string(VMPEEK_SOURCE_DIR) + "/samples/guest/minimal.hive") + " " + Quote(copy) + " && chmod u+w " + Quote(copy));
  Sh("printf '%s' " + Quote(text) + " | awk -f " + Quote(std::string(VMPEEK_SOURCE_DIR) + "/samples/guest/with_parents.awk") +
     " | hivexregedit --merge --encoding UTF-16LE --prefix 'HKEY_LOCAL_MACHINE\\SOFTWARE' " + Quote(copy));
  for (const char* name : {"ProductName", "SystemRoot", "CurrentBuildNumber"})
    EXPECT_EQ(Sh("hivexget " + Quote(copy) + " 'Microsoft\\Windows NT\\CurrentVersion' " + name),
              Sh("hivexget " + Quote(software) + " 'Microsoft\\Windows NT\\CurrentVersion' " + name)) << name;
}

TEST_F(Guest, WritesReadBackWithTheTools) {
  std::string host = m_Dir.file("upload.txt");
  WriteText(host, "uploaded by vmpeek\n");
  const char* steps[] = {
      "mkdir {} '/Data/Deep/Er' --parents", "put {} {host} /Data/Deep/Er", "mv {} /Data/Deep/Er/upload.txt /Data/moved.txt",
      "put {} {host} /Windows/gone.txt", "rm {} /Windows/gone.txt",
      "reg {} set 'HKLM\\SOFTWARE\\Vmpeek\\Test' Count --type REG_DWORD 0xffffffff",
      "reg {} set 'HKLM\\SOFTWARE\\Vmpeek\\Test' Big --type qword 18446744073709551615",
      "reg {} set 'HKLM\\SOFTWARE\\Vmpeek\\Test' List --type REG_MULTI_SZ one two",
      "reg {} set 'HKLM\\SOFTWARE\\Vmpeek\\Test' @ --type REG_SZ default",
      "reg {} delete 'HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\SampleArchiver'"};
  for (std::string step : steps) {
    step.replace(step.find("{}"), 2, m_Vmx);
    if (size_t at = step.find("{host}"); at != std::string::npos) step.replace(at, 6, Quote(host));
    Result r = Vmpeek(step);
    ASSERT_EQ(r.status, 0) << step << "\n" << r.err;
  }
  nlohmann::json big = VmpeekJson("reg " + m_Vmx + " query 'HKLM\\SOFTWARE\\Vmpeek\\Test' Big");
  EXPECT_EQ(big["values"][0]["data"].get<uint64_t>(), UINT64_MAX);
  std::string raw = Raw();
  EXPECT_EQ(Icat(raw, "Data/moved.txt"), "uploaded by vmpeek\n");
  // Deleted: gone from the listing, and The Sleuth Kit sees at most a deleted entry.
  EXPECT_EQ(Vmpeek("ls " + m_Vmx + " /Windows/gone.txt").status, 1);
  std::string gone = Sh("fls -r -p -o 2048 " + Quote(raw) + " | grep 'Windows/gone.txt' || true");
  EXPECT_TRUE(gone.empty() || gone.find(" * ") != std::string::npos) << gone;
  std::string software = Hive(raw, "SOFTWARE");
  EXPECT_EQ(Sh("hivexget " + Quote(software) + " 'Vmpeek\\Test' Count"), "-1\n");  // hivexget prints DWORDs signed
  EXPECT_EQ(Sh("hivexget " + Quote(software) + " 'Vmpeek\\Test' @"), "default\n");
  EXPECT_NE(vmtest::Run("hivexget " + Quote(software) + " 'Microsoft\\Windows\\CurrentVersion\\Uninstall\\SampleArchiver' >/dev/null 2>&1"), 0);
  Sh("dd if=" + Quote(raw) + " of=" + Quote(m_Dir.file("c.img")) + " bs=512 skip=2048 count=196608 status=none");
  EXPECT_EQ(vmtest::Run("ntfsfix -n " + Quote(m_Dir.file("c.img")) + " >/dev/null"), 0);
  // The parent is never written: a differencing child takes every change.
  EXPECT_EQ(vmtest::Run("qemu-img check -q " + Quote(m_Dir.file("guest.vmdk"))), 0);
}

TEST_F(Guest, InspectAndDrives) {
  const nlohmann::json j = VmpeekJson("inspect " + m_Vmx);
  ExpectJsonHas(j, {{"os", {{"product_name", "Windows 10 Pro"}, {"version", "10.0"}, {"build", "19045"}}},
                    {"computer_name", "VMPEEK-SAMPLE"}, {"time_zone", "W. Europe Standard Time"},
                    {"last_shutdown", "2024-03-24T18:43:30Z"},
                    {"drives", nlohmann::json::array({{{"letter", "C:"}, {"filesystem", "NTFS"}},
                                                      {{"letter", "D:"}, {"label", "Data"}}})}});
  EXPECT_EQ(j["programs"].size(), 3u);
  EXPECT_EQ(j["users"].size(), 2u);
}

TEST_F(Guest, WritingRefusals) {
  // A suspended machine: refused without --force, and nothing changes.
  Sh("sed -i 's/checkpoint.vmState = \"\"/checkpoint.vmState = \"guest.vmss\"/' " + m_Vmx);
  ExpectExit(Vmpeek("mkdir " + m_Vmx + " /New"), 1, "--force");
  // Then: nothing was made; --force makes it; a usage error never mounts.
  const std::pair<std::string, int> steps[] = {
      {"ls {} /New", 1}, {"mkdir {} /New --force", 0}, {"reg {} query 'HKXX\\Software'", 2},
      {"reg {} set 'HKLM\\SOFTWARE\\X' v --type REG_DWORD 4294967296 --force", 2}};
  for (auto [step, status] : steps) EXPECT_EQ(Vmpeek(step.replace(step.find("{}"), 2, m_Vmx)).status, status) << step;
}

TEST_F(Guest, FuseMountServesTheVolume) {
  struct stat st;
  if (stat("/dev/fuse", &st) != 0 || vmtest::Run("command -v fusermount3 >/dev/null") != 0)
    GTEST_SKIP() << "needs /dev/fuse and fusermount3";
  std::string dir = m_Dir.file("mnt");
  mkdir(dir.c_str(), 0755);
  Result r = Vmpeek("mount " + m_Vmx + " " + Quote(dir));
  ASSERT_EQ(r.status, 0) << r.err;
  std::string notes = Sh("cat " + Quote(dir + "/Users/Alice/Documents/notes.txt"));
  std::string listing = Sh("ls " + Quote(dir + "/Windows/System32/config"));
  EXPECT_EQ(Vmpeek("umount " + Quote(dir)).status, 0);
  EXPECT_NE(notes.find("Meeting notes"), std::string::npos);
  EXPECT_EQ(listing, "DEFAULT\nSOFTWARE\nSYSTEM\n");
}

}  // namespace
}  // namespace clitest

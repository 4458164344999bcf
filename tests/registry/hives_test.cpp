// Real hives loaded into the registry: values against hivexget, dirty hives with their logs, the
// guest link tree that mounted partitions build, write-back read by hivexsh, damaged hives.
#include <algorithm>
#include <cstring>
#include <unistd.h>

#include "platform/endian.h"
#include "platform/nt_file.h"
#include "platform/platform_trace.h"
#include "registry/registry_support.h"

using namespace regtest;
using vmtest::Sh;

namespace {

class Hives : public ::testing::Test {
 protected:
  void SetUp() override { SetHivePrivileges(true); }
  LSTATUS Load(const char16_t* name, const std::string& posix) {
    return RegLoadKeyW(HKEY_LOCAL_MACHINE, name, vmtest::WinPath(posix).c_str());
  }
  vmtest::TempDir m_Dir;
};

std::string Hivexget(const std::string& file, const std::string& key, const std::string& value) {
  std::string out = Sh("hivexget " + vmtest::Quote(file) + " " + vmtest::Quote(key) + " " + vmtest::Quote(value));
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string Hivexsh(const std::string& file, const std::string& script) {
  return Sh("printf '%s\\n' " + vmtest::Quote(script) + " | hivexsh " + vmtest::Quote(file));
}

TEST_F(Hives, DirtySystemHiveWithAndWithoutItsLogs) {
  struct Case {
    bool logs;
    uint32_t services, mounted;
    const char* lastMounted;
  } cases[] = {{false, 655, 6, "\\??\\Volume{3869c27a-31b8-11e8-9b12-ecf4bb487fed}"}, {true, 656, 7, "\\DosDevices\\F:"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logs ? "with logs" : "without logs");
    vmtest::TempDir dir;
    std::string hive = Unpack(dir, "win10-1709_regipy_SYSTEM_B.xz", "SYSTEM");
    if (c.logs) {
      Unpack(dir, "win10-1709_regipy_SYSTEM_B.LOG1.xz", "SYSTEM.LOG1");
      Unpack(dir, "win10-1709_regipy_SYSTEM_B.LOG2.xz", "SYSTEM.LOG2");
    }
    std::string before = Sh("sha256sum " + dir.path() + "/*");
    ASSERT_EQ(Load(u"RegTestDirty", hive), 0);
    HKEY k = nullptr;
    uint32_t subKeys = 0, values = 0;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"RegTestDirty\\ControlSet001\\Services", 0, KEY_READ, &k), 0);
    Counts(k, &subKeys, &values);
    EXPECT_EQ(subKeys, c.services);
    RegCloseKey(k);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"regtestdirty\\MOUNTEDDEVICES", 0, KEY_READ, &k), 0);
    Counts(k, &subKeys, &values);
    EXPECT_EQ(values, c.mounted);
    char16_t name[64];
    uint32_t n = 64;
    EXPECT_EQ(RegEnumValueW(k, values - 1, name, &n, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Utf16ToUtf8(name), c.lastMounted);
    RegCloseKey(k);
    EXPECT_EQ(QueryString(HKEY_LOCAL_MACHINE, u"RegTestDirty\\ControlSet001\\Control\\ComputerName\\ComputerName",
                          u"ComputerName"), "DESKTOP-PM6C56D");
    EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"RegTestDirty"), 0);
    EXPECT_EQ(Sh("sha256sum " + dir.path() + "/*"), before);  // a read-only load writes nothing
  }
}

TEST_F(Hives, UserHiveValuesMatchHivexget) {
  std::string hive = Unpack(m_Dir, "win7sp1-x86_regipy_NTUSER.DAT.xz");
  ASSERT_EQ(RegLoadKeyW(HKEY_USERS, u"RegTestUser", vmtest::WinPath(hive).c_str()), 0);
  struct Case {
    const char16_t* key;
    const char16_t* value;
    const char* hivexKey;
    const char* hivexValue;
  } cases[] = {
      {u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", u"Desktop",
       "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Desktop"},
      {u"ENVIRONMENT", u"temp", "\\Environment", "TEMP"},
      {u"Control Panel\\International", u"LocaleName", "\\Control Panel\\International", "LocaleName"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QueryString(HKEY_USERS, (u"RegTestUser\\" + std::u16string(c.key)).c_str(), c.value), Hivexget(hive, c.hivexKey, c.hivexValue)) << c.hivexKey;
  }
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, u"RegTestUser\\Software", 0, KEY_READ, &k), 0);
  std::string names;
  char16_t name[256];
  for (uint32_t i = 0, n = 256; RegEnumKeyExW(k, i, name, &n, nullptr, nullptr, nullptr, nullptr) == 0; ++i, n = 256)
    names += Utf16ToUtf8(name) + " ";
  EXPECT_EQ(names, "Adobe AppDataLow McAfee Microsoft Netscape ODBC Policies WinRAR ");
  EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, u"RegTestUser"), ERROR_ACCESS_DENIED);  // a handle is open
  RegCloseKey(k);
  EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, u"RegTestUser"), 0);
  EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"RegTestUser", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

// The tree a mounted partition builds over a guest's hives, and its removal.
TEST_F(Hives, GuestLinkTreeOverLoadedHives) {
  std::string system = Unpack(m_Dir, "win10-1709_regipy_SYSTEM_B.xz", "SYSTEM");
  std::string software = Merged(m_Dir, "software.reg", "HKEY_LOCAL_MACHINE\\SOFTWARE", "SOFTWARE");
  std::string before = Sh("sha256sum " + system);
  ASSERT_EQ(Load(u"VM_SYSTEM_t", system), 0);
  ASSERT_EQ(Load(u"VM_SOFTWARE_t", software), 0);
  HKEY root = nullptr, hklm = nullptr, link = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Brenmoor\\Tamsel\\VM_REGISTRY_t", 0, nullptr,
                            REG_OPTION_VOLATILE, KEY_WOW64_64KEY, nullptr, &root, nullptr), 0);
  ASSERT_EQ(RegCreateKeyExW(root, u"HKLM", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &hklm, nullptr), 0);
  auto makeLink = [&](const char16_t* sub, const std::u16string& target) {
    ASSERT_EQ(RegCreateKeyExW(hklm, sub, 0, nullptr, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK, 0x122, nullptr,
                              &link, nullptr), 0);
    ASSERT_EQ(RegSetValueExW(link, u"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const uint8_t*>(target.data()),
                             static_cast<uint32_t>(target.size() * 2)), 0);
    RegCloseKey(link);
  };
  makeLink(u"SYSTEM", u"\\Registry\\Machine\\VM_SYSTEM_t");
  makeLink(u"SOFTWARE", u"\\Registry\\Machine\\VM_SOFTWARE_t");
  HKEY select = nullptr;
  ASSERT_EQ(RegOpenKeyExW(hklm, u"SYSTEM\\Select", 0, KEY_READ, &select), 0);
  uint32_t current = 0, size = 4;
  ASSERT_EQ(RegQueryValueExW(select, u"Current", nullptr, nullptr, reinterpret_cast<uint8_t*>(&current), &size), 0);
  RegCloseKey(select);
  char16_t target[1024];
  wsprintfW(target, u"%s%s\\ControlSet%03d", u"\\Registry\\Machine\\", u"VM_SYSTEM_t", current);
  makeLink(u"SYSTEM\\CurrentControlSet", target);  // lands inside the loaded hive
  EXPECT_EQ(QueryString(hklm, u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName", u"ComputerName"),
            "DESKTOP-PM6C56D");
  EXPECT_EQ(QueryString(HKEY_LOCAL_MACHINE, u"VM_SYSTEM_t\\CurrentControlSet\\Control\\ProductOptions",
                        u"ProductType"), "WinNT");
  HKEY classes = nullptr;
  ASSERT_EQ(RegOpenKeyExW(hklm, u"SOFTWARE\\Classes", 0, KEY_ALL_ACCESS, &classes), 0);
  EXPECT_EQ(QueryString(classes, u".txt", nullptr), "txtfile");
  RegCloseKey(classes);
  ASSERT_EQ(RegFlushKey(hklm), 0);
  // Removal: each link key itself, never its target; the hives then unload.
  for (const char16_t* sub : {u"SYSTEM\\CurrentControlSet", u"SOFTWARE", u"SYSTEM"}) {
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(hklm, sub, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, &k), 0);
    EXPECT_EQ(ZwDeleteKey(k), 0);
    RegCloseKey(k);
  }
  RegCloseKey(hklm);
  EXPECT_EQ(RegDeleteKeyW(root, u"HKLM"), 0);
  RegCloseKey(root);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Brenmoor\\Tamsel\\VM_REGISTRY_t"), 0);
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"VM_SYSTEM_t"), 0);
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"VM_SOFTWARE_t"), 0);
  EXPECT_EQ(Sh("sha256sum " + system), before);  // the volatile link never reached the file
}

TEST_F(Hives, ChangesAreWrittenBackAndReadByHivexsh) {
  std::string hive = Merged(m_Dir, "default.reg", "HKEY_USERS\\.DEFAULT", "DEFAULT");
  ASSERT_EQ(Load(u"RegTestWrite", hive), 0);
  HKEY k = nullptr, v = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"RegTestWrite\\Environment\\Made", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, nullptr), 0);
  const char16_t text[] = u"written";
  ASSERT_EQ(RegSetValueExW(k, u"Text", 0, REG_SZ, reinterpret_cast<const uint8_t*>(text), sizeof text), 0);
  uint32_t dword = 0x12345678;
  ASSERT_EQ(RegSetValueExW(k, u"Number", 0, REG_DWORD, reinterpret_cast<const uint8_t*>(&dword), 4), 0);
  ASSERT_EQ(RegCreateKeyExW(k, u"Gone", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &v, nullptr), 0);
  ASSERT_EQ(RegDeleteValueW(HKEY_LOCAL_MACHINE, u"x"), ERROR_FILE_NOT_FOUND);
  HKEY env = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"RegTestWrite\\Environment", 0, KEY_ALL_ACCESS, &env), 0);
  ASSERT_EQ(RegDeleteValueW(env, u"TEMP"), 0);
  RegCloseKey(env);
  // A failed write-back reports the error and leaves the file as it was.
  std::string before = Sh("sha256sum " + hive);
  PlatformSetFileFaultHook([](const char*, const char*, uint64_t, uint32_t, void*) { return STATUS_DISK_FULL; },
                           nullptr);
  EXPECT_EQ(RegFlushKey(k), ERROR_DISK_FULL);
  PlatformSetFileFaultHook(nullptr, nullptr);
  EXPECT_EQ(Sh("sha256sum " + hive), before);
  ASSERT_EQ(RegFlushKey(k), 0);
  EXPECT_EQ(Hivexget(hive, "\\Environment\\Made", "Text"), "written");
  EXPECT_EQ(Hivexget(hive, "\\Environment\\Made", "Number"), "305419896");
  EXPECT_EQ(Hivexsh(hive, "cd \\Environment\\Made\nls"), "");  // no volatile Gone
  EXPECT_NE(vmtest::Run("hivexget " + vmtest::Quote(hive) + " '\\Environment' TEMP 2>/dev/null"), 0);
  RegCloseKey(v);
  RegCloseKey(k);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"RegTestWrite\\Environment\\Made\\Gone"), 0);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"RegTestWrite\\Control Panel\\Desktop"), 0);
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"RegTestWrite"), 0);  // writes the deletion back
  EXPECT_NE(Hivexsh(hive, "cd \\Control Panel\nls").find("International"),
            std::string::npos);
  EXPECT_EQ(Hivexsh(hive, "cd \\Control Panel\nls").find("Desktop"),
            std::string::npos);
}

TEST_F(Hives, RefusedLoads) {
  std::string good = Unpack(m_Dir, "minimal");
  SetHivePrivileges(false);
  EXPECT_EQ(Load(u"RegTestBad", good), ERROR_PRIVILEGE_NOT_HELD);
  SetHivePrivileges(true);
  EXPECT_EQ(Load(u"RegTestBad", m_Dir.file("absent")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Load(u"SOFTWARE", good), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(RegLoadKeyW(HKEY_CURRENT_USER, u"RegTestBad", vmtest::WinPath(good).c_str()), ERROR_INVALID_PARAMETER);
  struct Case {
    const char* what;
    std::string file;
    uint32_t offset;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"real damaged hive", Unpack(m_Dir, "vista-era_regipy_corrupted_system_hive.xz"), 0, {}},
      {"signature", Unpack(m_Dir, "minimal", "sig"), 0, {'r', 'e', 'g', 'x'}},
      {"checksum", Unpack(m_Dir, "minimal", "sum"), 508, {0, 0, 0, 0}},
      {"hbin signature", Unpack(m_Dir, "minimal", "hbin"), 4096, {'x'}},
      {"truncated", Unpack(m_Dir, "minimal", "short"), 0, {}},
  };
  vmtest::Run("truncate -s 4096 " + cases[4].file);
  for (const Case& c : cases) {
    if (!c.bytes.empty()) vmtest::PokeBytes(c.file, c.offset, c.bytes);
    EXPECT_EQ(Load(u"RegTestBad", c.file), ERROR_BADDB) << c.what;
  }
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"RegTestBad", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

}  // namespace

namespace {

void Collect(const WCHAR* line, void* context) { *static_cast<std::string*>(context) += Utf16ToUtf8(line); }

// A dirty hive with a new-format log (the fuzz seed): replayed when the log's hashes hold,
// ignored with a trace line when one byte of the logged page changes.
TEST_F(Hives, TransactionLogChecks) {
  std::vector<uint8_t> seed = vmtest::ReadAll(std::string(VMPEEK_SOURCE_DIR) + "/fuzz/seeds/registry_hive/dirty-with-log");
  const std::string sep = "\n==vmpeek-file==\n";
  auto at = std::search(seed.begin(), seed.end(), sep.begin(), sep.end());
  ASSERT_NE(at, seed.end());
  std::string hive = m_Dir.file("h");
  vmtest::WriteAll(hive, std::vector<uint8_t>(seed.begin(), at));
  std::vector<uint8_t> log(at + static_cast<ptrdiff_t>(sep.size()), seed.end());
  for (bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged log" : "good log");
    if (damaged) log[600] ^= 1;
    vmtest::WriteAll(hive + ".LOG1", log);
    std::string trace;
    PlatformSetTraceHook(Collect, &trace);
    EXPECT_EQ(Load(u"RegTestLog", hive), 0);
    PlatformSetTraceHook(nullptr, nullptr);
    EXPECT_EQ(trace.find("replayed log entries 5 to 5") != std::string::npos, !damaged) << trace;
    EXPECT_EQ(trace.find("fails its hash") != std::string::npos, damaged) << trace;
    EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"RegTestLog"), 0);
  }
}

}  // namespace

namespace {

// An old-format log (".LOG": a dirty-sector bitmap and the sectors) replays into a dirty hive;
// one without its "DIRT" signature is ignored with a trace line.
TEST_F(Hives, OldFormatTransactionLog) {
  std::string hive = Unpack(m_Dir, "minimal", "old");
  std::vector<uint8_t> bytes = vmtest::ReadAll(hive);
  std::vector<uint8_t> log(bytes.begin(), bytes.begin() + 512);
  vmtest::PutLE32(log.data() + 4, 9);
  vmtest::PutLE32(log.data() + 8, 9);
  vmtest::PutLE32(log.data() + 28, 1);
  uint32_t sum = 0;
  for (int i = 0; i < 508; i += 4) sum ^= LoadLE32(log.data() + i);
  vmtest::PutLE32(log.data() + 508, sum);
  log.insert(log.end(), {'D', 'I', 'R', 'T', 0x01});
  log.resize(1024);
  log.insert(log.end(), bytes.begin() + 4096, bytes.begin() + 4608);  // sector 0 of the bins
  vmtest::PutLE32(bytes.data() + 4, 9);  // dirty: sequence 9/1
  vmtest::PutLE32(bytes.data() + 8, 1);
  sum = 0;
  for (int i = 0; i < 508; i += 4) sum ^= LoadLE32(bytes.data() + i);
  vmtest::PutLE32(bytes.data() + 508, sum);
  vmtest::WriteAll(hive, bytes);
  for (bool damaged : {false, true}) {
    if (damaged) log[512] = 'X';
    vmtest::WriteAll(hive + ".LOG", log);
    std::string trace;
    PlatformSetTraceHook(Collect, &trace);
    EXPECT_EQ(Load(u"RegTestOldLog", hive), 0);
    PlatformSetTraceHook(nullptr, nullptr);
    EXPECT_EQ(trace.find("replayed 1 dirty sectors") != std::string::npos, !damaged) << trace;
    EXPECT_EQ(trace.find("not a valid transaction log") != std::string::npos, damaged) << trace;
    EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"RegTestOldLog"), 0);
  }
}

}  // namespace

namespace {

// The hand-made hostile inputs of the fuzz target (hive, then logs after the separator line):
// each is refused or cut short with its status and trace line, nothing large is allocated.
TEST_F(Hives, HostileInputsFailCleanly) {
  struct Case {
    const char* file;
    const char* trace;
    uint32_t enumStatus;  // of the value under odd-names' key "zero" ("zero\0val")
  } cases[] = {
      {"log-grows-hive-to-2gib", "grows the hive to 2147479552 bytes; replay stops", 0},
      {"log-page-past-hive-bins", "has a bad page reference", 0},
      {"value-claims-2gib", "claims 2147483632 bytes; refused", ERROR_INVALID_DATA},
      {"value-claims-60mib", "failed in", ERROR_INVALID_DATA},
  };
  const std::string sep = "\n==vmpeek-file==\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::vector<uint8_t> in = vmtest::ReadAll(std::string(VMPEEK_SOURCE_DIR) + "/tests/hostile/registry_hive/" + c.file);
    auto at = std::search(in.begin(), in.end(), sep.begin(), sep.end());
    vmtest::WriteAll(m_Dir.file("x"), std::vector<uint8_t>(in.begin(), at));
    unlink(m_Dir.file("x.LOG1").c_str());
    if (at != in.end()) vmtest::WriteAll(m_Dir.file("x.LOG1"), std::vector<uint8_t>(at + static_cast<ptrdiff_t>(sep.size()), in.end()));
    std::string trace;
    PlatformSetTraceHook(Collect, &trace);
    ASSERT_EQ(Load(u"RegTestHostile", m_Dir.file("x")), 0);
    HKEY root = nullptr;
    if (c.enumStatus) {
      ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"RegTestHostile\\zero", 0, KEY_READ, &root), 0);
      char16_t name[64];
      uint32_t n = 64, size = 8;
      uint8_t data[8];
      EXPECT_EQ(RegEnumValueW(root, 0, name, &n, nullptr, nullptr, data, &size), c.enumStatus);
      RegCloseKey(root);
    }
    PlatformSetTraceHook(nullptr, nullptr);
    EXPECT_NE(trace.find(c.trace), std::string::npos) << trace;
    EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"RegTestHostile"), 0);
  }
}

}  // namespace

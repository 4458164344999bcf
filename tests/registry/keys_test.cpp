// Keys, values, volatile keys, links, tokens and formatting, checked as Wine's advapi32 registry
// tests check Windows: sentinel out-parameters, exact statuses.
#include <thread>

#include <unistd.h>

#include <cstring>

#include "platform/endian.h"
#include "platform/loader.h"
#include "registry/registry_support.h"

using namespace regtest;

namespace {

class Keys : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"KeysTest", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &m_Main, nullptr), 0);
  }
  void TearDown() override {
    DeleteTree(m_Main);
    RegCloseKey(m_Main);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"KeysTest"), 0);
  }
  static void DeleteTree(HKEY key) {
    char16_t name[256];
    uint32_t n = 256;
    while (RegEnumKeyExW(key, 0, name, &n, nullptr, nullptr, nullptr, nullptr) == 0) {
      HKEY sub = nullptr;
      ASSERT_EQ(RegOpenKeyExW(key, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, &sub), 0);
      DeleteTree(sub);
      ASSERT_EQ(ZwDeleteKey(sub), 0);
      RegCloseKey(sub);
      n = 256;
    }
  }
  HKEY Create(const char16_t* path, uint32_t options = REG_OPTION_VOLATILE, uint32_t* disp = nullptr) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExW(m_Main, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &k, disp), 0) << Utf16ToUtf8(path);
    return k;
  }
  void Link(const char16_t* path, const std::u16string& target) {
    HKEY k = Create(path, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK);
    EXPECT_EQ(RegSetValueExW(k, u"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const uint8_t*>(target.data()),
                             static_cast<uint32_t>(target.size() * 2)), 0);
    RegCloseKey(k);
  }
  std::u16string MainPath() {
    UNICODE_STRING us{};
    EXPECT_EQ(RtlFormatCurrentUserKeyPath(&us), 0);
    std::u16string p(us.Buffer, us.Length / 2);
    RtlFreeUnicodeString(&us);
    return p + u"\\KeysTest";
  }
  HKEY m_Main = nullptr;
};

TEST_F(Keys, CreateOpenDispositionAndCaseInsensitiveNames) {
  uint32_t disp = 0xdeadbeef;
  HKEY a = Create(u"Sub\\Äpfel", REG_OPTION_VOLATILE, &disp);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
  HKEY b = Create(u"SUB\\äPFEL", REG_OPTION_VOLATILE, &disp);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
  EXPECT_NE(a, b);
  char16_t name[8];
  uint32_t n = 8;
  HKEY sub = nullptr;
  ASSERT_EQ(RegOpenKeyExW(m_Main, u"sub", 0, KEY_READ, &sub), 0);
  EXPECT_EQ(RegEnumKeyExW(sub, 0, name, &n, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(std::u16string(name), u"Äpfel");  // the case it was created with
  EXPECT_EQ(n, 5u);
  n = 5;  // no room for the terminator
  EXPECT_EQ(RegEnumKeyExW(sub, 0, name, &n, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  n = 8;
  EXPECT_EQ(RegEnumKeyExW(sub, 1, name, &n, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  HKEY missing = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegOpenKeyExW(m_Main, u"Sub\\Birnen", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(RegOpenKeyExW(m_Main, u"\\Sub", 0, KEY_READ, &missing), 161);  // ERROR_BAD_PATHNAME
  // Subkeys block deletion; a deleted key's other handles report it.
  EXPECT_EQ(RegDeleteKeyW(m_Main, u"Sub"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(m_Main, u"Sub\\äpfel"), 0);
  EXPECT_EQ(RegSetValueExW(b, u"x", 0, REG_DWORD, reinterpret_cast<const uint8_t*>("abcd"), 4), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(a), 0);
  EXPECT_EQ(RegCloseKey(b), 0);
  EXPECT_EQ(RegCloseKey(b), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(sub), 0);
  // Volatile keys take only volatile children; access masks are checked.
  HKEY k = nullptr;
  EXPECT_EQ(RegCreateKeyExW(m_Main, u"Stable", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"KeysTest", 0, KEY_READ, &k), 0);
  EXPECT_EQ(RegSetValueExW(k, u"x", 0, REG_SZ, nullptr, 0), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(k, u"x"), ERROR_ACCESS_DENIED);
  RegCloseKey(k);
  EXPECT_EQ(RegCreateKeyExW(m_Main, std::u16string(256, u'n').c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Keys, ValuesQuerySetEnumDelete) {
  const char16_t text[] = u"Hello";
  ASSERT_EQ(RegSetValueExW(m_Main, u"Text", 0, REG_SZ, reinterpret_cast<const uint8_t*>(text), sizeof text), 0);
  ASSERT_EQ(RegSetValueExW(m_Main, nullptr, 0, REG_BINARY, reinterpret_cast<const uint8_t*>("\1\2\3"), 3), 0);
  uint32_t type = 0xdeadbeef, size = 0xdeadbeef;
  EXPECT_EQ(RegQueryValueExW(m_Main, u"TEXT", nullptr, &type, nullptr, &size), 0);  // size probing
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, sizeof text);
  uint8_t buf[32];
  memset(buf, 0xA5, sizeof buf);
  size = 4;
  EXPECT_EQ(RegQueryValueExW(m_Main, u"Text", nullptr, &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof text);
  EXPECT_EQ(buf[0], 0xA5);  // nothing copied
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExW(m_Main, u"Text", nullptr, &type, buf, &size), 0);
  EXPECT_EQ(memcmp(buf, text, sizeof text), 0);
  EXPECT_EQ(buf[sizeof text], 0xA5);  // canary after the data
  EXPECT_EQ(RegQueryValueExW(m_Main, u"Text", nullptr, &type, buf, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(m_Main, u"None", nullptr, &type, buf, &size), ERROR_FILE_NOT_FOUND);
  uint32_t subKeys = 9, values = 9, maxName = 9, maxData = 9;
  ASSERT_EQ(RegQueryInfoKeyW(m_Main, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, &maxName,
                             &maxData, nullptr, nullptr), 0);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(maxName, 4u);
  EXPECT_EQ(maxData, sizeof text);
  char16_t name[8];
  uint32_t n = 8, dataSize = 2;
  EXPECT_EQ(RegEnumValueW(m_Main, 0, name, &n, nullptr, &type, buf, &dataSize), ERROR_MORE_DATA);
  EXPECT_EQ(dataSize, sizeof text);
  n = 4;
  EXPECT_EQ(RegEnumValueW(m_Main, 0, name, &n, nullptr, &type, nullptr, nullptr), ERROR_MORE_DATA);
  n = 8;
  EXPECT_EQ(RegEnumValueW(m_Main, 1, name, &n, nullptr, &type, nullptr, nullptr), 0);
  EXPECT_EQ(n, 0u);  // the default value has an empty name
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(RegEnumValueW(m_Main, 2, name, &n, nullptr, &type, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegDeleteValueW(m_Main, u"text"), 0);
  EXPECT_EQ(RegDeleteValueW(m_Main, u"text"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Keys, SymbolicLinks) {
  Create(u"Target\\Inner");
  Link(u"L1", MainPath() + u"\\Target");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(m_Main, u"L1\\Inner", 0, KEY_READ, &k), 0);  // followed at every component
  RegCloseKey(k);
  uint32_t disp = 0;
  HKEY made = Create(u"L1\\Made", REG_OPTION_VOLATILE, &disp);  // created through the link
  RegCloseKey(made);
  ASSERT_EQ(RegOpenKeyExW(m_Main, u"Target\\Made", 0, KEY_READ, &k), 0);
  RegCloseKey(k);
  EXPECT_EQ(RegCreateKeyExW(m_Main, u"L1", 0, nullptr, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS,
                            nullptr, &k, nullptr), ERROR_ALREADY_EXISTS);
  // The link itself: its value, and deleting it leaves the target.
  ASSERT_EQ(RegOpenKeyExW(m_Main, u"L1", REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, &k), 0);
  uint32_t type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(k, u"SymbolicLinkValue", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(type, REG_LINK);
  EXPECT_EQ(ZwDeleteKey(k), 0);
  EXPECT_EQ(ZwDeleteKey(k), static_cast<NTSTATUS>(0xC000017C));
  RegCloseKey(k);
  ASSERT_EQ(RegOpenKeyExW(m_Main, u"Target\\Inner", 0, KEY_READ, &k), 0);
  EXPECT_EQ(ZwDeleteKey(k), STATUS_ACCESS_DENIED);  // opened without DELETE
  RegCloseKey(k);
  // A dangling link is a missing key; a loop and a chain of 17 links fail cleanly.
  Link(u"Dangling", MainPath() + u"\\Nowhere");
  EXPECT_EQ(RegOpenKeyExW(m_Main, u"Dangling", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyExW(m_Main, u"Dangling\\x", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &k,
                            nullptr), ERROR_FILE_NOT_FOUND);
  Link(u"Loop", MainPath() + u"\\Loop");
  EXPECT_EQ(RegOpenKeyExW(m_Main, u"Loop", 0, KEY_READ, &k), ERROR_CANT_RESOLVE_FILENAME);
  for (int i = 0; i < 17; ++i)
    Link((u"C" + W(std::to_string(i))).c_str(), MainPath() + (i == 16 ? u"\\Target" : u"\\C" + W(std::to_string(i + 1))));
  EXPECT_EQ(RegOpenKeyExW(m_Main, u"C1", 0, KEY_READ, &k), 0);  // 16 links
  RegCloseKey(k);
  EXPECT_EQ(RegOpenKeyExW(m_Main, u"C0", 0, KEY_READ, &k), ERROR_CANT_RESOLVE_FILENAME);  // 17
}

TEST_F(Keys, PerThreadRedirection) {
  HKEY guest = Create(u"Guest");
  HKEY user = Create(u"GuestUser");
  Create(u"Guest\\SYSTEM");
  Create(u"GuestUser\\Env");
  UNICODE_STRING us{};
  ASSERT_EQ(RtlFormatCurrentUserKeyPath(&us), 0);
  std::u16string userPath(us.Buffer, us.Length / 2);
  RtlFreeUnicodeString(&us);
  Link(u"ToUser", userPath + u"\\Env");
  ASSERT_EQ(PlatformStartRegistryRedirection(guest, nullptr, nullptr, user, (userPath + u"_Classes").c_str(),
                                             userPath.c_str(), MainPath().c_str()), 0);
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &k), 0);
  RegCloseKey(k);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(m_Main, u"ToUser", 0, KEY_READ, &k), 0);  // the absolute user path goes to hkcu
  RegCloseKey(k);
  std::thread other([] {
    HKEY o = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes", 0, KEY_READ, &o), 0);
    RegCloseKey(o);
  });
  other.join();
  PlatformStopRegistryRedirection();
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes", 0, KEY_READ, &k), 0);
  RegCloseKey(k);
  RegCloseKey(guest);
  RegCloseKey(user);
}

TEST(Tokens, PrivilegesUserAndFormatting) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  LUID luid{0xdead, 7};
  EXPECT_TRUE(LookupPrivilegeValueW(nullptr, u"SeRestorePrivilege", &luid));
  EXPECT_EQ(luid.LowPart, 18u);
  EXPECT_EQ(luid.HighPart, 0);
  EXPECT_FALSE(LookupPrivilegeValueW(nullptr, u"SeNoSuchPrivilege", &luid));
  TOKEN_PRIVILEGES tp{1, {{luid, SE_PRIVILEGE_ENABLED}}};
  EXPECT_FALSE(AdjustTokenPrivileges(token, 0, &tp, 0, nullptr, nullptr));  // no TOKEN_ADJUST_PRIVILEGES
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  uint32_t need = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &need));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<uint8_t> info(need);
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, info.data(), need, &need));
  const uint8_t* sid = static_cast<const uint8_t*>(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid);
  EXPECT_EQ(sid[0], 1);
  EXPECT_EQ(sid[1], 5);
  EXPECT_EQ(sid[7], 5);
  EXPECT_EQ(LoadLE32(sid + 8 + 16), 1000u + getuid());
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_FALSE(PlatformCloseTokenHandle(token));
  UNICODE_STRING us{};
  ASSERT_EQ(RtlFormatCurrentUserKeyPath(&us), 0);
  EXPECT_EQ(Utf16ToUtf8(std::u16string(us.Buffer, us.Length / 2)), "\\Registry\\User\\S-1-5-21-0-0-0-" + std::to_string(1000 + getuid()));
  RtlFreeUnicodeString(&us);
  char16_t buf[1024];
  int n = wsprintfW(buf, u"%s%s\\ControlSet%03d|%x|%c|%p", u"\\Registry\\Machine\\", u"VM_SYSTEM", 1, 0xab, u'F',
                    reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(Utf16ToUtf8(buf), "\\Registry\\Machine\\VM_SYSTEM\\ControlSet001|ab|F|0000000000001234");
  EXPECT_EQ(n, static_cast<int>(WStrLen(buf)));
}

}  // namespace

// Helpers for the registry tests: hives from tests/data/hives unpacked into a temporary folder,
// the backup and restore privileges, and UTF-16 spelling.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "platform/win_registry.h"
#include "platform/wstr.h"
#include "support/test_support.h"

namespace regtest {

inline std::u16string W(const std::string& s) { return Utf8ToUtf16(s); }

// A hive from tests/data/hives in dir (xz files are unpacked); returns its POSIX path.
inline std::string Unpack(const vmtest::TempDir& dir, const std::string& name, const std::string& as = "") {
  std::string src = std::string(VMPEEK_SOURCE_DIR) + "/tests/data/hives/" + name;
  std::string base = name.size() > 3 && name.substr(name.size() - 3) == ".xz" ? name.substr(0, name.size() - 3) : name;
  std::string dst = dir.file(as.empty() ? base : as);
  std::string cmd = base == name ? "cp " + vmtest::Quote(src) + " " + vmtest::Quote(dst)
                                 : "xz -dc " + vmtest::Quote(src) + " > " + vmtest::Quote(dst);
  EXPECT_EQ(vmtest::Run(cmd + " && chmod u+w " + vmtest::Quote(dst)), 0) << cmd;
  return dst;
}

// minimal with a .reg text of tests/data/hives merged by hivexregedit.
inline std::string Merged(const vmtest::TempDir& dir, const std::string& reg, const std::string& prefix,
                          const std::string& as) {
  std::string dst = Unpack(dir, "minimal", as);
  std::string cmd = "hivexregedit --merge --prefix " + vmtest::Quote(prefix) + " " + vmtest::Quote(dst) + " " +
                    vmtest::Quote(std::string(VMPEEK_SOURCE_DIR) + "/tests/data/hives/" + reg);
  EXPECT_EQ(vmtest::Run(cmd), 0) << cmd;
  return dst;
}

// Enables or disables SeBackupPrivilege and SeRestorePrivilege in the process token.
inline void SetHivePrivileges(bool enable) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  uint8_t buf[sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES)] = {};
  auto* tp = reinterpret_cast<TOKEN_PRIVILEGES*>(buf);
  tp->PrivilegeCount = 2;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, u"SeRestorePrivilege", &tp->Privileges[0].Luid));
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, u"SeBackupPrivilege", &tp->Privileges[1].Luid));
  tp->Privileges[0].Attributes = tp->Privileges[1].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  EXPECT_TRUE(AdjustTokenPrivileges(token, 0, tp, 0, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(token));
}

// Number of subkeys and values of an open key.
inline void Counts(HKEY key, uint32_t* subKeys, uint32_t* values) {
  ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, subKeys, nullptr, nullptr, values, nullptr, nullptr,
                             nullptr, nullptr), 0);
}

// A string value as UTF-8 (terminator dropped), or "<error N>".
inline std::string QueryString(HKEY key, const char16_t* sub, const char16_t* name) {
  HKEY k = nullptr;
  LSTATUS st = RegOpenKeyExW(key, sub, 0, KEY_READ, &k);
  if (st) return "<error " + std::to_string(st) + ">";
  char16_t buf[512] = {};
  uint32_t size = sizeof(buf) - 2, type = 0;
  st = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<uint8_t*>(buf), &size);
  RegCloseKey(k);
  if (st) return "<error " + std::to_string(st) + ">";
  std::u16string text(buf, size / 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return Utf16ToUtf8(text);
}

}  // namespace regtest

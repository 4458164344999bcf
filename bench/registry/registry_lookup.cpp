// The registry: loads a hive with RegLoadKeyW, reads every value of a lookup list by path (key
// path TAB value name) with RegOpenKeyExW and RegQueryValueExW, unloads it; prints the load
// time, the whole time and the bytes read.
#include <time.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/path.h"
#include "platform/win_registry.h"
#include "platform/wstr.h"

static double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token);
  uint8_t buf[sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES)] = {};
  auto* tp = reinterpret_cast<TOKEN_PRIVILEGES*>(buf);
  tp->PrivilegeCount = 2;
  LookupPrivilegeValueW(nullptr, u"SeRestorePrivilege", &tp->Privileges[0].Luid);
  LookupPrivilegeValueW(nullptr, u"SeBackupPrivilege", &tp->Privileges[1].Luid);
  tp->Privileges[0].Attributes = tp->Privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
  AdjustTokenPrivileges(token, 0, tp, 0, nullptr, nullptr);
  CloseHandle(token);

  double start = Now();
  LSTATUS st = RegLoadKeyW(HKEY_LOCAL_MACHINE, u"BenchHive", PlatformPosixToWindows(argv[1]).c_str());
  if (st) { fprintf(stderr, "RegLoadKeyW: %d\n", st); return 1; }
  double loaded = Now();
  std::ifstream list(argv[2]);
  std::string line;
  size_t found = 0, bytes = 0;
  std::vector<uint8_t> data(4096);
  while (std::getline(list, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::u16string key = u"BenchHive\\" + Utf8ToUtf16(line.substr(0, tab));
    std::u16string name = Utf8ToUtf16(line.substr(tab + 1));
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k)) continue;
    uint32_t type = 0, size = static_cast<uint32_t>(data.size());
    st = RegQueryValueExW(k, name.c_str(), nullptr, &type, data.data(), &size);
    if (st == ERROR_MORE_DATA) {
      data.resize(size);
      st = RegQueryValueExW(k, name.c_str(), nullptr, &type, data.data(), &size);
    }
    if (st == 0) { ++found; bytes += size; }
    RegCloseKey(k);
  }
  st = RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"BenchHive");
  printf("load_ms %.1f total_ms %.1f found %zu bytes %zu\n", loaded - start, Now() - start, found, bytes);
  return st ? 1 : 0;
}

// Process tokens: privileges the process holds (all the named ones, disabled until adjusted),
// token handles, the user's SID derived from the Unix uid, and the current user's key path.
#include "platform/token.h"

#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <vector>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/loader.h"
#include "platform/platform_trace.h"
#include "platform/win_registry.h"
#include "platform/wstr.h"

#define ERROR_NO_SUCH_PRIVILEGE 1313u

namespace {

struct Privilege {
  const char16_t* name;
  uint32_t luid;
};
constexpr Privilege kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2}, {u"SeAssignPrimaryTokenPrivilege", 3}, {u"SeLockMemoryPrivilege", 4},
    {u"SeIncreaseQuotaPrivilege", 5}, {u"SeMachineAccountPrivilege", 6}, {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8}, {u"SeTakeOwnershipPrivilege", 9}, {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemProfilePrivilege", 11}, {u"SeSystemtimePrivilege", 12}, {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14}, {u"SeCreatePagefilePrivilege", 15},
    {u"SeCreatePermanentPrivilege", 16}, {u"SeBackupPrivilege", SE_BACKUP_PRIVILEGE},
    {u"SeRestorePrivilege", SE_RESTORE_PRIVILEGE}, {u"SeShutdownPrivilege", 19}, {u"SeDebugPrivilege", 20},
    {u"SeAuditPrivilege", 21}, {u"SeSystemEnvironmentPrivilege", 22}, {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24}, {u"SeUndockPrivilege", 25}, {u"SeManageVolumePrivilege", 28},
    {u"SeImpersonatePrivilege", 29}, {u"SeCreateGlobalPrivilege", 30},
};

struct Token {
  uint32_t access;
};

std::mutex g_Lock;
std::unordered_set<Token*> g_Tokens;
uint64_t g_Enabled = 1ull << 23;  // bit per LUID; change-notify is enabled by default

bool KnownLuid(const LUID& l) {
  if (l.HighPart != 0) return false;
  for (const Privilege& p : kPrivileges)
    if (p.luid == l.LowPart) return true;
  return false;
}

// The SID's binary form: revision 1, five sub-authorities, authority 5 (NT).
std::vector<uint8_t> SidBytes() {
  uint32_t subs[5] = {21, 0, 0, 0, 1000u + static_cast<uint32_t>(getuid())};
  std::vector<uint8_t> sid = {1, 5, 0, 0, 0, 0, 0, 5};
  for (uint32_t s : subs)
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<uint8_t>(s >> (8 * i)));
  return sid;
}

}  // namespace

bool ProcessPrivilegeEnabled(uint32_t luid) {
  std::lock_guard<std::mutex> lock(g_Lock);
  return luid < 64 && (g_Enabled >> luid) & 1;
}

std::u16string ProcessUserSid() {
  return u"S-1-5-21-0-0-0-" + Utf8ToUtf16(std::to_string(1000u + static_cast<uint32_t>(getuid())));
}

extern "C" {

HANDLE GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL OpenProcessToken(HANDLE process, uint32_t access, HANDLE* token) {
  if (!token) { SetLastError(ERROR_INVALID_PARAMETER); return 0; }
  *token = nullptr;
  if (process != GetCurrentProcess()) { SetLastError(ERROR_INVALID_HANDLE); return 0; }
  Token* t = new Token{access};
  std::lock_guard<std::mutex> lock(g_Lock);
  g_Tokens.insert(t);
  *token = t;
  SetLastError(ERROR_SUCCESS);
  return 1;
}

BOOL PlatformCloseTokenHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_Lock);
  auto it = g_Tokens.find(static_cast<Token*>(handle));
  if (it == g_Tokens.end()) return 0;
  delete *it;
  g_Tokens.erase(it);
  return 1;
}

BOOL LookupPrivilegeValueW(const WCHAR* systemName, const WCHAR* name, LUID* luid) {
  if (systemName && systemName[0]) { SetLastError(ERROR_INVALID_PARAMETER); return 0; }
  if (!name || !luid) { SetLastError(ERROR_INVALID_PARAMETER); return 0; }
  for (const Privilege& p : kPrivileges) {
    if (WStrICmpAZ(name, p.name) == 0) {
      luid->LowPart = p.luid;
      luid->HighPart = 0;
      SetLastError(ERROR_SUCCESS);
      return 1;
    }
  }
  SetLastError(ERROR_NO_SUCH_PRIVILEGE);
  return 0;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, uint32_t bufferLength,
                           TOKEN_PRIVILEGES* previousState, uint32_t* returnLength) {
  std::lock_guard<std::mutex> lock(g_Lock);
  auto it = g_Tokens.find(static_cast<Token*>(token));
  if (it == g_Tokens.end()) { SetLastError(ERROR_INVALID_HANDLE); return 0; }
  uint32_t need = TOKEN_ADJUST_PRIVILEGES | (previousState ? TOKEN_QUERY : 0u);
  if (((*it)->access & need) != need) { SetLastError(ERROR_ACCESS_DENIED); return 0; }
  if (!disableAll && !newState) { SetLastError(ERROR_INVALID_PARAMETER); return 0; }
  uint64_t before = g_Enabled;
  uint64_t after = before;
  bool all = true;
  if (disableAll) {
    after = 0;
  } else {
    for (uint32_t i = 0; i < newState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& p = newState->Privileges[i];
      if (!KnownLuid(p.Luid)) { all = false; continue; }
      if (p.Attributes & SE_PRIVILEGE_ENABLED) after |= 1ull << p.Luid.LowPart;
      else after &= ~(1ull << p.Luid.LowPart);
    }
  }
  if (previousState) {
    uint32_t changed = 0;
    for (int b = 0; b < 64; ++b)
      if (((before ^ after) >> b) & 1) ++changed;
    uint32_t size = static_cast<uint32_t>(offsetof(TOKEN_PRIVILEGES, Privileges) + changed * sizeof(LUID_AND_ATTRIBUTES));
    if (returnLength) *returnLength = size;
    if (bufferLength < size) { SetLastError(ERROR_INSUFFICIENT_BUFFER); return 0; }
    previousState->PrivilegeCount = 0;
    for (int b = 0; b < 64; ++b) {
      if (!(((before ^ after) >> b) & 1)) continue;
      LUID_AND_ATTRIBUTES& o = previousState->Privileges[previousState->PrivilegeCount++];
      o.Luid = {static_cast<uint32_t>(b), 0};
      o.Attributes = ((before >> b) & 1) ? SE_PRIVILEGE_ENABLED : 0;
    }
  }
  g_Enabled = after;
  SetLastError(all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return 1;
}

BOOL GetTokenInformation(HANDLE token, int infoClass, void* info, uint32_t length, uint32_t* returnLength) {
  {
    std::lock_guard<std::mutex> lock(g_Lock);
    auto it = g_Tokens.find(static_cast<Token*>(token));
    if (it == g_Tokens.end()) { SetLastError(ERROR_INVALID_HANDLE); return 0; }
    if (!((*it)->access & TOKEN_QUERY)) { SetLastError(ERROR_ACCESS_DENIED); return 0; }
  }
  if (infoClass != TokenUser) { SetLastError(ERROR_INVALID_PARAMETER); return 0; }
  std::vector<uint8_t> sid = SidBytes();
  uint32_t need = static_cast<uint32_t>(sizeof(TOKEN_USER) + sid.size());
  if (returnLength) *returnLength = need;
  if (!info || length < need) { SetLastError(ERROR_INSUFFICIENT_BUFFER); return 0; }
  auto* user = static_cast<TOKEN_USER*>(info);
  uint8_t* sidAt = static_cast<uint8_t*>(info) + sizeof(TOKEN_USER);
  memcpy(sidAt, sid.data(), sid.size());
  user->User.Sid = sidAt;
  user->User.Attributes = 0;
  SetLastError(ERROR_SUCCESS);
  return 1;
}

NTSTATUS RtlFormatCurrentUserKeyPath(UNICODE_STRING* path) {
  if (!path) return STATUS_INVALID_PARAMETER;
  std::u16string s = u"\\Registry\\User\\" + ProcessUserSid();
  auto* buf = static_cast<WCHAR*>(malloc((s.size() + 1) * sizeof(WCHAR)));
  if (!buf) return STATUS_NO_MEMORY;
  memcpy(buf, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
  path->Buffer = buf;
  path->Length = static_cast<uint16_t>(s.size() * sizeof(WCHAR));
  path->MaximumLength = static_cast<uint16_t>((s.size() + 1) * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(UNICODE_STRING* string) {
  if (!string) return;
  free(string->Buffer);
  string->Buffer = nullptr;
  string->Length = string->MaximumLength = 0;
}

int wsprintfW(WCHAR* buffer, const WCHAR* format, ...) {
  if (!buffer || !format) return 0;
  // %p is the pointer in 16 upper-case hex digits, as on Windows x64.
  std::u16string fmt;
  for (const WCHAR* p = format; *p; ++p) {
    if (p[0] == u'%' && p[1] == u'%') { fmt += u"%%"; ++p; continue; }
    if (p[0] == u'%' && p[1] == u'p') { fmt += u"%016I64X"; ++p; continue; }
    fmt += *p;
  }
  va_list args;
  va_start(args, format);
  int n = WStrFormatV(buffer, 1024, fmt.c_str(), args);
  va_end(args);
  return n < 0 ? 0 : (n > 1023 ? 1023 : n);
}

}  // extern "C"

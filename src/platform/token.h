// The process token as the registry sees it: which privileges are enabled and the user's SID.
#pragma once
#include <cstdint>
#include <string>

#define SE_BACKUP_PRIVILEGE 17u
#define SE_RESTORE_PRIVILEGE 18u

// True when the privilege with that LUID is enabled in the process token.
bool ProcessPrivilegeEnabled(uint32_t luid);
// "S-1-5-21-0-0-0-<1000+uid>": stable for the Unix user running the process.
std::u16string ProcessUserSid();

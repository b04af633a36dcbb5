#include "service/privileges.h"

#include "common/report.h"

const wchar_t *const kPrivilegesToRemove[kPrivilegeCount] = {
    L"SeAssignPrimaryTokenPrivilege",
    L"SeAuditPrivilege",
    L"SeBackupPrivilege",
    L"SeChangeNotifyPrivilege",
    L"SeCreateGlobalPrivilege",
    L"SeCreatePagefilePrivilege",
    L"SeCreatePermanentPrivilege",
    L"SeCreateSymbolicLinkPrivilege",
    L"SeCreateTokenPrivilege",
    L"SeDebugPrivilege",
    L"SeEnableDelegationPrivilege",
    L"SeImpersonatePrivilege",
    L"SeIncreaseQuotaPrivilege",
    L"SeIncreaseBasePriorityPrivilege",
    L"SeIncreaseWorkingSetPrivilege",
    L"SeLoadDriverPrivilege",
    L"SeLockMemoryPrivilege",
    L"SeMachineAccountPrivilege",
    L"SeManageVolumePrivilege",
    L"SeProfileSingleProcessPrivilege",
    L"SeRelabelPrivilege",
    L"SeRemoteShutdownPrivilege",
    L"SeRestorePrivilege",
    L"SeSecurityPrivilege",
    L"SeShutdownPrivilege",
    L"SeSyncAgentPrivilege",
    L"SeSystemEnvironmentPrivilege",
    L"SeSystemProfilePrivilege",
    L"SeSystemtimePrivilege",
    L"SeTakeOwnershipPrivilege",
    L"SeTcbPrivilege",
    L"SeTimeZonePrivilege",
    L"SeTrustedCredManAccessPrivilege",
    L"SeUndockPrivilege",
    L"SeUnsolicitedInputPrivilege",
};

namespace {

struct TokenHandle {
  HANDLE h = nullptr;
  ~TokenHandle() {
    if (h != nullptr) CloseHandle(h);
  }
  TokenHandle() = default;
  TokenHandle(const TokenHandle &) = delete;
  TokenHandle &operator=(const TokenHandle &) = delete;
};

}  // namespace

void reduce_privileges() {
  TokenHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token.h)) {
    trace(L"Ostrival: Could not open process token");
    return;
  }
  trace(L"Ostrival: Disabling all privileges");
  if (!AdjustTokenPrivileges(token.h, TRUE, nullptr, 0, nullptr, nullptr)) {
    trace(L"Ostrival: Disabling all privileges failed.");
    return;
  }
  trace(L"Ostrival: Removing privileges");
  for (const wchar_t *name : kPrivilegesToRemove) remove_privilege(token.h, name);
}

void remove_privilege(HANDLE token, const wchar_t *name) {
  TOKEN_PRIVILEGES request = {};
  if (!LookupPrivilegeValueW(nullptr, name, &request.Privileges[0].Luid)) {
    trace(L"Ostrival: Lookup Privilege failed.");
    return;
  }
  request.PrivilegeCount = 1;
  request.Privileges[0].Attributes = SE_PRIVILEGE_REMOVED;
  static_assert(sizeof request == 16, "one LUID and its attributes after the count");
  if (!AdjustTokenPrivileges(token, FALSE, &request, sizeof request, nullptr, nullptr)) {
    trace(L"Ostrival: Adjust Privilege failed.");
  } else if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
    // Success with this code means the token never held the privilege.
    trace(L"Ostrival: The token does not have the specified privilege.");
  }
}

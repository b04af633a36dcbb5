// Strips the process token before the service starts: every privilege is
// disabled, then each privilege of a fixed table is removed for good, so
// nothing the service runs can enable it again. Failures are traced and
// passed over; none stops the service from starting.
#pragma once

#include <windows.h>

inline constexpr int kPrivilegeCount = 35;
extern const wchar_t *const kPrivilegesToRemove[kPrivilegeCount];

void reduce_privileges();
void remove_privilege(HANDLE token, const wchar_t *name);

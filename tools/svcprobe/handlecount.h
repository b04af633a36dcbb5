// Counts the handles a process holds open, from the system's handle list, so
// test helpers can watch a process for leaks. Works on another process under
// Wine, where GetProcessHandleCount reads 0 for anything but the caller.
#pragma once

#include <windows.h>

#include <vector>

// One class of NtQuerySystemInformation into *table, grown until it fits.
bool query_system_information(ULONG info_class, std::vector<BYTE> *table);

// False if the system list cannot be read.
bool count_process_handles(DWORD pid, unsigned long *count);

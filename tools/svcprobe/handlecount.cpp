#include "handlecount.h"

#include <winternl.h>

#include <vector>

namespace {

using QuerySystem = NTSTATUS(WINAPI *)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);

constexpr int kSystemHandleInformation = 16;

// One open handle as the system's handle list gives it. Windows keeps the
// owner's pid in the low 16 bits of the first word.
struct HandleEntry {
  ULONG owner;
  BYTE type;
  BYTE flags;
  USHORT value;
  PVOID object;
  ULONG access;
};

struct HandleList {
  ULONG count;
  HandleEntry entries[1];
};

}  // namespace

bool query_system_information(ULONG info_class, std::vector<BYTE> *table) {
  auto query = reinterpret_cast<QuerySystem>(reinterpret_cast<void *>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return false;
  ULONG size = 64 * 1024;
  // The list can grow between calls; each retry asks for more than last time.
  for (int tries = 0; tries < 10; ++tries) {
    table->resize(size);
    ULONG needed = 0;
    if (query(static_cast<SYSTEM_INFORMATION_CLASS>(info_class), table->data(), size, &needed) >= 0)
      return true;
    size = needed > size ? needed + 4096 : size * 2;
  }
  return false;
}

bool count_process_handles(DWORD pid, unsigned long *count) {
  std::vector<BYTE> table;
  if (!query_system_information(kSystemHandleInformation, &table)) return false;
  const auto *list = reinterpret_cast<const HandleList *>(table.data());
  *count = 0;
  for (ULONG i = 0; i < list->count; ++i)
    if ((list->entries[i].owner & 0xFFFF) == (pid & 0xFFFF)) ++*count;
  return true;
}

// soak: the program's own transmit cycle run many times in one process, with what the
// process holds printed as it goes, so that anything a cycle leaves behind shows as growth
// with the cycle count. Wine's GetProcessHandleCount succeeds and always says 0, and
// PrivateUsage is left unwritten; the system handle list and PagefileUsage (which counts
// touched private memory) are what it reports truly, so those are read.
//
//   soak CYCLES EVERY   a line "cycles ..." before the first cycle, then a line "held ..."
//                       with 64 sockets open that have each sent a datagram to loopback and
//                       4096 kB more touched, then a line "cycles ..." after each EVERY
//                       cycles. After each line it waits for a line on its input, so that a
//                       reader outside can count the process's and the wineserver's file
//                       descriptors at that point.
//   soak NAME           a line "handles ..." for each running process of that exe name.
//
// A line gives: the cycles run so far, the handles, the touched private memory (kB), and
// the microseconds the cycles since the line before took. It sends only what the cycle
// sends, and one datagram a socket to 127.0.0.1 port 9 (discard).
#include "broadcast/transmit.h"

#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

constexpr int kSockets = 64;
constexpr std::size_t kHeldKb = 4096;
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// An entry of the system handle list as the system lays it out. Its process ids are 16 bits,
// which those of a Wine prefix never outgrow.
struct HandleEntry {
  USHORT process;
  USHORT back_trace;
  UCHAR type;
  UCHAR attributes;
  USHORT value;
  PVOID object;
  ULONG access;
};
struct HandleList {
  ULONG count;
  HandleEntry entries[1];
};

using QuerySystem = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);

// The handles process PID holds by the system's list, or -1 where the list cannot be read.
long handles_of(DWORD pid) {
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
  if (found == nullptr) return -1;
  const auto query = reinterpret_cast<QuerySystem>(reinterpret_cast<void (*)()>(found));
  std::vector<unsigned char> room(1 << 16);
  LONG status;
  ULONG needed = 0;
  while ((status = query(kSystemHandleInformation, room.data(), static_cast<ULONG>(room.size()),
                         &needed)) == kInfoLengthMismatch)
    room.resize(room.size() * 2 > needed ? room.size() * 2 : needed);
  if (status != 0) return -1;
  const auto *list = reinterpret_cast<const HandleList *>(room.data());
  long held = 0;
  for (ULONG i = 0; i < list->count; ++i)
    if (list->entries[i].process == static_cast<USHORT>(pid)) ++held;
  return held;
}

unsigned long long touched_kb() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PagefileUsage / 1024;
}

// A line, and then the reader's turn: nothing runs until it answers.
bool report(const char *what, long cycles, long long us) {
  // In this order: the handle list's buffer, once grown, stays in the heap and is counted.
  const long handles = handles_of(GetCurrentProcessId());
  std::printf("%s %ld %ld %llu %lld\n", what, cycles, handles, touched_kb(), us);
  std::fflush(stdout);
  char answer[8];
  return std::fgets(answer, sizeof answer, stdin) != nullptr;
}

// What a leaking cycle would leave, held on purpose: each figure must see it.
struct Held {
  std::vector<SOCKET> sockets;
  std::vector<char> touched = std::vector<char>(kHeldKb * 1024, 1);
  Held() {
    sockaddr_in discard = {};
    discard.sin_family = AF_INET;
    discard.sin_port = htons(9);
    discard.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < kSockets; ++i) {
      const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
      if (s == INVALID_SOCKET) continue;
      sockets.push_back(s);
      // Under Wine a socket becomes a file descriptor of the process once it has sent.
      sendto(s, "x", 1, 0, reinterpret_cast<const sockaddr *>(&discard),
             static_cast<int>(sizeof discard));
    }
  }
  ~Held() {
    for (const SOCKET s : sockets) closesocket(s);
  }
  Held(const Held &) = delete;
  Held &operator=(const Held &) = delete;
};

int soak(long cycles, long every) {
  LARGE_INTEGER hz, from, to;
  QueryPerformanceFrequency(&hz);
  if (!report("cycles", 0, 0)) return 1;
  {
    const Held held;
    if (!report("held", 0, 0)) return 1;
  }
  for (long done = 0; done < cycles;) {
    QueryPerformanceCounter(&from);
    for (long i = 0; i < every && done < cycles; ++i, ++done) transmit_cycle();
    QueryPerformanceCounter(&to);
    if (!report("cycles", done, (to.QuadPart - from.QuadPart) * 1000000 / hz.QuadPart)) return 1;
  }
  return 0;
}

int handles_named(const wchar_t *name) {
  HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (all == INVALID_HANDLE_VALUE) return 1;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(all, &entry); more; more = Process32NextW(all, &entry)) {
    if (lstrcmpiW(entry.szExeFile, name) == 0)
      std::printf("handles %lu %ld\n", entry.th32ProcessID, handles_of(entry.th32ProcessID));
  }
  CloseHandle(all);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc == 2) return handles_named(argv[1]);
  if (argc != 3) {
    std::fputs("usage: soak CYCLES EVERY | soak NAME\n", stderr);
    return 2;
  }
  WSADATA winsock;
  if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return 1;
  const int status = soak(std::wcstol(argv[1], nullptr, 10), std::wcstol(argv[2], nullptr, 10));
  WSACleanup();
  return status;
}

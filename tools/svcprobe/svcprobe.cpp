// Test helper: reads what the service manager holds about one service and
// sends it controls, printing plain key=value lines a shell test can grep.
//
//   svcprobe NAME status            state, controls accepted, type, pid
//   svcprobe NAME config            registration and description
//   svcprobe NAME control CODE      ControlService result and error
//   svcprobe NAME wait STATE SECS   waits for a state; exit 1 on time-out
//   svcprobe NAME exists            exit 0 if registered, 1 if not
//   svcprobe - handles PID          handle count of a process
//   svcprobe - pidof NAME           "pid=N handles=H" for every process whose image is NAME;
//                                   exit 1 if none
#include "handlecount.h"
#include "service/scm.h"

#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

int fail(const char *what) {
  std::printf("error=%s code=%lu\n", what, GetLastError());
  return 2;
}

int status(SC_HANDLE s) {
  SERVICE_STATUS_PROCESS st;
  DWORD needed = 0;
  if (!QueryServiceStatusEx(s, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&st), sizeof st,
                            &needed))
    return fail("QueryServiceStatusEx");
  std::printf("state=%lu\ncontrols=0x%lX\ntype=0x%lX\nexit=%lu\npid=%lu\n", st.dwCurrentState,
              st.dwControlsAccepted, st.dwServiceType, st.dwWin32ExitCode, st.dwProcessId);
  return 0;
}

int config(SC_HANDLE s) {
  DWORD needed = 0;
  QueryServiceConfigW(s, nullptr, 0, &needed);
  std::vector<BYTE> buf(needed + 1);
  auto *c = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buf.data());
  if (!QueryServiceConfigW(s, c, static_cast<DWORD>(buf.size()), &needed))
    return fail("QueryServiceConfigW");
  std::printf("type=0x%lX\nstart=%lu\nerror=%lu\n", c->dwServiceType, c->dwStartType,
              c->dwErrorControl);
  std::printf("path=%ls\naccount=%ls\ndisplay=%ls\n", c->lpBinaryPathName,
              c->lpServiceStartName ? c->lpServiceStartName : L"", c->lpDisplayName);
  QueryServiceConfig2W(s, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  std::vector<BYTE> dbuf(needed + sizeof(SERVICE_DESCRIPTIONW));
  auto *d = reinterpret_cast<SERVICE_DESCRIPTIONW *>(dbuf.data());
  if (!QueryServiceConfig2W(s, SERVICE_CONFIG_DESCRIPTION, dbuf.data(),
                            static_cast<DWORD>(dbuf.size()), &needed))
    return fail("QueryServiceConfig2W");
  std::printf("description=%ls\n", d->lpDescription ? d->lpDescription : L"");
  return 0;
}

int control(SC_HANDLE s, DWORD code) {
  SERVICE_STATUS st = {};
  const BOOL ok = ControlService(s, code, &st);
  std::printf("ok=%d\ncode=%lu\nstate=%lu\n", ok ? 1 : 0, ok ? 0ul : GetLastError(),
              st.dwCurrentState);
  return 0;
}

int wait_for(SC_HANDLE s, DWORD wanted, DWORD seconds) {
  for (DWORD i = 0; i <= seconds * 10; ++i) {
    SERVICE_STATUS st;
    if (QueryServiceStatus(s, &st) && st.dwCurrentState == wanted) {
      std::printf("state=%lu\n", wanted);
      return 0;
    }
    Sleep(100);
  }
  std::printf("timeout\n");
  return 1;
}

int handles(DWORD pid) {
  unsigned long count = 0;
  if (!count_process_handles(pid, &count)) return fail("NtQuerySystemInformation");
  std::printf("handles=%lu\n", count);
  return 0;
}

DWORD pid_of(const SYSTEM_PROCESS_INFORMATION &p) {
  return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(p.UniqueProcessId));
}

bool has_image(const SYSTEM_PROCESS_INFORMATION &p, const wchar_t *image) {
  const UNICODE_STRING &name = p.ImageName;
  const size_t length = std::wcslen(image);
  return name.Buffer != nullptr && name.Length / sizeof(wchar_t) == length &&
         CompareStringOrdinal(name.Buffer, static_cast<int>(length), image,
                              static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

int pidof(const wchar_t *image) {
  std::vector<BYTE> table;
  if (!query_system_information(SystemProcessInformation, &table))
    return fail("NtQuerySystemInformation");
  int matches = 0;
  for (size_t at = 0;;) {
    const auto *p = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION *>(table.data() + at);
    unsigned long count = 0;
    if (has_image(*p, image) && count_process_handles(pid_of(*p), &count)) {
      std::printf("pid=%lu handles=%lu\n", pid_of(*p), count);
      ++matches;
    }
    if (p->NextEntryOffset == 0) break;
    at += p->NextEntryOffset;
  }
  return matches > 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc < 3) return fail("usage");
  const wchar_t *verb = argv[2];
  if (std::wcscmp(verb, L"handles") == 0 && argc >= 4)
    return handles(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 0)));
  if (std::wcscmp(verb, L"pidof") == 0 && argc >= 4) return pidof(argv[3]);

  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return fail("OpenSCManagerW");
  ScHandle service(OpenServiceW(manager.get(), argv[1], SERVICE_ALL_ACCESS));
  if (std::wcscmp(verb, L"exists") == 0) {
    std::printf("exists=%d\n", service.get() != nullptr ? 1 : 0);
    return service.get() != nullptr ? 0 : 1;
  }
  if (service.get() == nullptr) return fail("OpenServiceW");
  if (std::wcscmp(verb, L"status") == 0) return status(service.get());
  if (std::wcscmp(verb, L"config") == 0) return config(service.get());
  if (std::wcscmp(verb, L"control") == 0 && argc >= 4)
    return control(service.get(), static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 0)));
  if (std::wcscmp(verb, L"wait") == 0 && argc >= 5) {
    return wait_for(service.get(), static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 0)),
                    static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 0)));
  }
  return fail("usage");
}

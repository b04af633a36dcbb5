// Test helper: the admin commands run many times in one long-lived process,
// so handles they fail to release pile up where they can be counted (kernel
// handles here; manager handles through Wine's +service trace of this process).
//
//   admin_rounds rounds N   N rounds of add, start, remove, each checked
//                           through the manager; prints "round=R handles=H"
//                           after each; exit 1 at the first round that fails
//   admin_rounds [WORD]     anything else is the product's own command table,
//                           so the manager can run this program as the service
#include "admin/admin.h"
#include "app/commands.h"
#include "common/names.h"
#include "handlecount.h"
#include "service/scm.h"

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

// State of the service, 0 if it is not registered (or cannot be read). Reads
// the manager's list rather than opening the service, so that every service
// handle this process asks for succeeds and a trace can pair opens with closes.
DWORD state_now() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
  if (manager.get() == nullptr) return 0;
  std::vector<BYTE> buf(std::size_t{64} * 1024);
  DWORD needed = 0, count = 0, resume = 0;
  while (!EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                SERVICE_STATE_ALL, buf.data(), static_cast<DWORD>(buf.size()),
                                &needed, &count, &resume, nullptr)) {
    if (GetLastError() != ERROR_MORE_DATA || buf.size() >= std::size_t{16} * 1024 * 1024) return 0;
    buf.resize(buf.size() * 2);
    resume = 0;
  }
  const auto *entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW *>(buf.data());
  for (DWORD i = 0; i < count; ++i) {
    if (lstrcmpiW(entries[i].lpServiceName, kServiceName) == 0) {
      return entries[i].ServiceStatusProcess.dwCurrentState;
    }
  }
  return 0;
}

bool wait_state(DWORD wanted, DWORD seconds) {
  for (DWORD i = 0; i <= seconds * 10; ++i) {
    if (state_now() == wanted) return true;
    Sleep(100);
  }
  return false;
}

int fail_round(int round, const char *what) {
  std::printf("round=%d error=%s\n", round, what);
  return 1;
}

int rounds(int count) {
  for (int round = 1; round <= count; ++round) {
    install_service();
    if (state_now() != SERVICE_STOPPED) return fail_round(round, "add");
    start_installed_service();
    if (!wait_state(SERVICE_RUNNING, 10)) return fail_round(round, "start");
    remove_service();
    // The manager deletes the service once it has stopped.
    if (!wait_state(0, 10)) return fail_round(round, "remove");
    unsigned long handles = 0;
    if (!count_process_handles(GetCurrentProcessId(), &handles))
      return fail_round(round, "handle count");
    std::printf("round=%d handles=%lu\n", round, handles);
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"rounds") == 0)
    return rounds(static_cast<int>(std::wcstol(argv[2], nullptr, 10)));
  return run_command(argc, argv);
}

#include "app/commands.h"

#include "admin/admin.h"
#include "broadcast/transmit.h"
#include "common/report.h"
#include "service/privileges.h"
#include "service/runtime.h"
#include "service/scm.h"

#include <winsock2.h>
#include <windows.h>

namespace {

WSADATA g_winsock;

constexpr wchar_t kUsage[] =
    L"Ostrival Service Application.\n"
    L"Use one of these parameters:\n"
    L"  add        - add this as a windows service\n"
    L"  remove     - remove this as a windows service\n"
    L"  start      - start the installed service\n";

constexpr wchar_t kStartNotice[] =
    L"Ostrival Service. If you see this message you have run\n"
    L"this the wrong way: this should be started as a windows service.\n"
    L"You can start it by passing \"start\" on the command line.";

bool word_is(const wchar_t *word, const wchar_t *command) {
  return word != nullptr && lstrcmpiW(word, command) == 0;
}

void start_as_service() {
  console(kStartNotice);
  g_stop_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (g_stop_event == nullptr) {
    trace(L"Ostrival Service: Create StopServiceEvent failed.");
    return;
  }
  reduce_privileges();
  g_status_handle = nullptr;
  run_dispatcher(service_main);
  CloseHandle(g_stop_event);
  g_stop_event = nullptr;
}

}  // namespace

int run_command(int argc, wchar_t **argv) {
  const wchar_t *word = argc >= 2 ? argv[1] : nullptr;

  if (word_is(word, L"add")) {
    install_service();
  } else if (word_is(word, L"remove")) {
    remove_service();
  } else if (word_is(word, L"start")) {
    start_installed_service();
  } else if (word_is(word, L"help")) {
    console(kUsage);
  } else if (WSAStartup(MAKEWORD(2, 2), &g_winsock) != 0) {
    console(L"Could not initialise Winsock, giving up.\n");
    trace(L"Ostrival Service: Create Winsock failed.");
  } else if (word_is(word, L"debug")) {
    // Process exit releases Winsock.
    transmit_cycle();
  } else {
    start_as_service();
  }
  return 0;
}

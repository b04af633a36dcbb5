#include "service/runtime.h"

#include "broadcast/transmit.h"
#include "common/report.h"
#include "service/scm.h"

HANDLE g_stop_event = nullptr;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;

namespace {

constexpr DWORD kServiceWin32 = SERVICE_WIN32;  // 0x30, what the record says
constexpr DWORD kAcceptedWhileRunning = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                        SERVICE_ACCEPT_PARAMCHANGE | SERVICE_ACCEPT_POWEREVENT;

SERVICE_STATUS g_status;

// Both threads update the record; the lock keeps each update whole, so no
// report carries a half-written record. Reports send a copy taken under the
// lock and are made outside it: the manager may call the handler while it
// holds a lock of its own that SetServiceStatus also takes, and waiting for
// ours there would deadlock the stop.
SRWLOCK g_status_lock = SRWLOCK_INIT;

// Reports made outside the lock can reach the manager in any order, and the
// manager takes nothing after SERVICE_STOPPED: a stop-pending report arriving
// last leaves it holding a service whose process is gone. So the stopped
// report waits until the handler has made its stop reports, and a handler
// that finds the record stopped makes none.
int g_handler_reports = 0;
CONDITION_VARIABLE g_handler_done = CONDITION_VARIABLE_INIT;

struct StatusLock {
  StatusLock() { AcquireSRWLockExclusive(&g_status_lock); }
  ~StatusLock() { ReleaseSRWLockExclusive(&g_status_lock); }
  StatusLock(const StatusLock &) = delete;
  StatusLock &operator=(const StatusLock &) = delete;
};

SERVICE_STATUS update(DWORD state, DWORD accepted) {
  StatusLock lock;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = accepted;
  return g_status;
}

void set_and_report(const ServiceHooks &hooks, DWORD state, DWORD accepted) {
  hooks.report(update(state, accepted));
}

bool register_real_handler(LPHANDLER_FUNCTION_EX handler) {
  g_status_handle = register_handler(handler);
  return g_status_handle != nullptr;
}

void report_real(const SERVICE_STATUS &status) {
  SERVICE_STATUS copy = status;
  report_status(g_status_handle, &copy);
}

DWORD wait_real(HANDLE event, DWORD timeout_ms) { return WaitForSingleObject(event, timeout_ms); }

void report_stopped(const ServiceHooks &hooks) {
  SERVICE_STATUS stopped;
  {
    StatusLock lock;
    while (g_handler_reports > 0)
      SleepConditionVariableSRW(&g_handler_done, &g_status_lock, INFINITE, 0);
    g_status.dwCurrentState = SERVICE_STOPPED;
    g_status.dwControlsAccepted = 0;
    stopped = g_status;
  }
  hooks.report(stopped);
}

void stop_from_handler(const ServiceHooks &hooks) {
  SERVICE_STATUS pending;
  {
    StatusLock lock;
    if (g_status.dwCurrentState == SERVICE_STOPPED) return;
    ++g_handler_reports;
    g_status.dwCurrentState = SERVICE_STOP_PENDING;
    pending = g_status;
  }
  hooks.report(pending);
  // The service thread does the rest and reports the final state.
  SetEvent(g_stop_event);
  hooks.report(current_status());
  StatusLock lock;
  --g_handler_reports;
  WakeAllConditionVariable(&g_handler_done);
}

}  // namespace

ServiceHooks real_service_hooks() {
  return ServiceHooks{register_real_handler, report_real, kBroadcastIntervalMs, transmit_cycle,
                      wait_real};
}

void WINAPI service_main(DWORD, LPWSTR *) { run_service(real_service_hooks()); }

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
  return handle_control(control, real_service_hooks());
}

void run_service(const ServiceHooks &hooks) {
  {
    StatusLock lock;
    g_status = SERVICE_STATUS{kServiceWin32, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};
  }
  if (!hooks.register_handler(control_handler)) return;

  set_and_report(hooks, SERVICE_START_PENDING, 0);
  set_and_report(hooks, SERVICE_RUNNING, kAcceptedWhileRunning);
  run_loop(hooks);
  set_and_report(hooks, SERVICE_STOP_PENDING, kAcceptedWhileRunning);
  report_stopped(hooks);
}

DWORD handle_control(DWORD control, const ServiceHooks &hooks) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      stop_from_handler(hooks);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_POWEREVENT:
      // Accepted, and nothing to do: the manager keeps the last report.
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

SERVICE_STATUS current_status() {
  StatusLock lock;
  return g_status;
}

void run_loop(const ServiceHooks &hooks) {
  for (;;) {
    switch (hooks.wait(g_stop_event, hooks.interval_ms)) {
      case WAIT_OBJECT_0:
        trace(L"Ostrival Service: Shutdown Request.");
        return;
      case WAIT_TIMEOUT:
        trace(L"Ostrival Service: Transmitting update.");
        hooks.cycle();
        break;
      default:
        trace(L"Ostrival Service: WaitForSingleObject - bad result.");
        break;
    }
  }
}

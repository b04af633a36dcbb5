// The life of the service once the manager has started it: the service main
// routine with its one status record, the control handler, and the run loop
// that fires a transmit cycle every 128 s until the stop event is set.
//
// Two threads meet here: the manager's service thread (service main, run
// loop, every cycle) and the main thread inside the dispatcher (the control
// handler). The stop event is what orders them, and whatever their
// interleaving, the stopped report is the last the manager receives.
#pragma once

#include <windows.h>

// 2^7 s, the poll interval the packet announces.
inline constexpr DWORD kBroadcastIntervalMs = 128000;

// Created and closed by the entry around the dispatcher; only waited on and
// set here.
extern HANDLE g_stop_event;
// Null until the handler is registered; never closed.
extern SERVICE_STATUS_HANDLE g_status_handle;

// What the manager calls. They bind the real platform calls to the routines
// below.
void WINAPI service_main(DWORD argc, LPWSTR *argv);
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

// The edges of the service that tests replace. `register_handler` is given
// the control handler to register; `report` is called with the status
// record as it stands at that moment.
struct ServiceHooks {
  bool (*register_handler)(LPHANDLER_FUNCTION_EX handler);
  void (*report)(const SERVICE_STATUS &status);
  DWORD interval_ms;
  void (*cycle)();
  DWORD (*wait)(HANDLE event, DWORD timeout_ms);
};
ServiceHooks real_service_hooks();

void run_service(const ServiceHooks &hooks);
DWORD handle_control(DWORD control, const ServiceHooks &hooks);
void run_loop(const ServiceHooks &hooks);
// A copy of the status record taken under its lock, so a check that a control changed nothing
// sees the record even where no report shows it.
SERVICE_STATUS current_status();

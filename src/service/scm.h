// Every call this program makes to the service control manager, each with
// its fixed arguments. Callers decide when to call and report failures in
// their own words.
#pragma once

#include <windows.h>

// Closes a manager or service handle on every path out of a scope.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE h) : h_(h) {}
  ~ScHandle() { close(); }
  ScHandle(const ScHandle &) = delete;
  ScHandle &operator=(const ScHandle &) = delete;
  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void close() {
    if (h_ != nullptr) CloseServiceHandle(h_);
    h_ = nullptr;
  }

 private:
  SC_HANDLE h_;
};

// Access rights, by command.
inline constexpr DWORD kManagerAccessInstall = SC_MANAGER_CREATE_SERVICE;
inline constexpr DWORD kManagerAccessControl = SC_MANAGER_CONNECT;
inline constexpr DWORD kServiceAccessRemove = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
inline constexpr DWORD kServiceAccessStart = SERVICE_START | SERVICE_QUERY_STATUS;

SC_HANDLE open_manager(DWORD access);
// Own process, automatic start, errors ignored, local system.
SC_HANDLE create_service(SC_HANDLE manager, const wchar_t *command_line);
bool set_description(SC_HANDLE service, const wchar_t *description);
SC_HANDLE open_service(SC_HANDLE manager, DWORD access);
bool query_status(SC_HANDLE service, SERVICE_STATUS *status);
// Asks for a stop and does not wait for it.
bool send_stop(SC_HANDLE service, SERVICE_STATUS *status);
bool delete_service(SC_HANDLE service);
bool start_service(SC_HANDLE service);

// Returns when the service has stopped, or at once when the process was not
// started by the service control manager.
void run_dispatcher(LPSERVICE_MAIN_FUNCTIONW service_main);
SERVICE_STATUS_HANDLE register_handler(LPHANDLER_FUNCTION_EX handler);
void report_status(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS *status);

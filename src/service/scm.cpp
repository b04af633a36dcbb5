#include "service/scm.h"

#include "common/names.h"

SC_HANDLE open_manager(DWORD access) {
  return OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, access);
}

SC_HANDLE create_service(SC_HANDLE manager, const wchar_t *command_line) {
  return CreateServiceW(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
                        command_line, nullptr, nullptr, nullptr, nullptr, nullptr);
}

bool set_description(SC_HANDLE service, const wchar_t *description) {
  SERVICE_DESCRIPTIONW info;
  info.lpDescription = const_cast<wchar_t *>(description);
  return ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &info) != FALSE;
}

SC_HANDLE open_service(SC_HANDLE manager, DWORD access) {
  return OpenServiceW(manager, kServiceName, access);
}

bool query_status(SC_HANDLE service, SERVICE_STATUS *status) {
  return QueryServiceStatus(service, status) != FALSE;
}

bool send_stop(SC_HANDLE service, SERVICE_STATUS *status) {
  return ControlService(service, SERVICE_CONTROL_STOP, status) != FALSE;
}

bool delete_service(SC_HANDLE service) { return DeleteService(service) != FALSE; }

bool start_service(SC_HANDLE service) { return StartServiceW(service, 0, nullptr) != FALSE; }

void run_dispatcher(LPSERVICE_MAIN_FUNCTIONW service_main) {
  SERVICE_TABLE_ENTRYW table[] = {
      {const_cast<wchar_t *>(kServiceName), service_main},
      {nullptr, nullptr},
  };
  StartServiceCtrlDispatcherW(table);
}

SERVICE_STATUS_HANDLE register_handler(LPHANDLER_FUNCTION_EX handler) {
  return RegisterServiceCtrlHandlerExW(kServiceName, handler, nullptr);
}

void report_status(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS *status) {
  SetServiceStatus(handle, status);
}

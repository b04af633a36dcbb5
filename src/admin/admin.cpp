#include "admin/admin.h"

#include "common/names.h"
#include "service/scm.h"

#include <windows.h>

#include <cwchar>

namespace {

constexpr wchar_t kDescription[] =
    L"Ostrival: Transmit an NTP v3 broadcast every 2 minutes based on the PC clock.";

// MAX_PATH plus one, the size the path has always been read into.
constexpr DWORD kPathBufferSize = 261;

void notice(const wchar_t *text) { MessageBoxW(nullptr, text, kDisplayName, MB_OK); }

// The path goes in quotes: unquoted, a path with a space lets Windows try
// each prefix of it as a program first ("C:\Program.exe"), running as
// local system.
bool read_quoted_path(wchar_t (&quoted)[kPathBufferSize + 2]) {
  wchar_t path[kPathBufferSize];
  const DWORD length = GetModuleFileNameW(nullptr, path, kPathBufferSize);
  // A full buffer means the path was cut short.
  if (length == 0 || length >= kPathBufferSize) return false;
  quoted[0] = L'"';
  std::wmemcpy(quoted + 1, path, length);
  quoted[length + 1] = L'"';
  quoted[length + 2] = L'\0';
  return true;
}

}  // namespace

void install_service() {
  ScHandle manager(open_manager(kManagerAccessInstall));
  if (!manager) {
    notice(L"Install aborted: Could not connect to Service Control Manager.");
    return;
  }
  wchar_t command_line[kPathBufferSize + 2];
  if (!read_quoted_path(command_line)) {
    notice(L"Install aborted: Could not read the program path.");
    return;
  }
  ScHandle service(create_service(manager.get(), command_line));
  if (!service) {
    notice(L"Could not add service. Perhaps it already exists.");
    return;
  }
  // The service works without its description, so this is no reason to stop.
  if (!set_description(service.get(), kDescription)) notice(L"Could not set service description.");
  service.close();
  manager.close();
  notice(L"Ostrival Service has been installed.");
}

void remove_service() {
  ScHandle manager(open_manager(kManagerAccessControl));
  if (!manager) {
    notice(L"Uninstall aborted: Could not connect to Service Control Manager.");
    return;
  }
  ScHandle service(open_service(manager.get(), kServiceAccessRemove));
  if (!service) {
    notice(L"Could not open service to delete it, is it installed?");
    return;
  }
  SERVICE_STATUS status;
  if (!query_status(service.get(), &status)) {
    notice(L"Aborted: Could not query service status.");
    return;
  }
  // No wait for the stop: the manager finishes the deletion once the
  // service has stopped.
  if (status.dwCurrentState != SERVICE_STOPPED && !send_stop(service.get(), &status)) {
    notice(L"Uninstall aborted: Could not stop service.");
    return;
  }
  if (!delete_service(service.get())) {
    notice(L"Delete service failed.");
    return;
  }
  service.close();
  manager.close();
  notice(L"Ostrival Service has been removed.");
}

void start_installed_service() {
  ScHandle manager(open_manager(kManagerAccessControl));
  if (!manager) {
    notice(L"Aborted: Could not connect to Service Control Manager.");
    return;
  }
  ScHandle service(open_service(manager.get(), kServiceAccessStart));
  if (!service) {
    notice(L"Aborted: Could not open service to start it.");
    return;
  }
  SERVICE_STATUS status;
  if (!query_status(service.get(), &status)) {
    notice(L"Aborted: Could not query service.");
    return;
  }
  if (status.dwCurrentState == SERVICE_RUNNING) {
    notice(L"Service is already running.");
    return;
  }
  if (!start_service(service.get())) {
    notice(L"Aborted: Could not start service.");
    return;
  }
  service.close();
  manager.close();
  notice(L"Ostrival Service has been started.");
}

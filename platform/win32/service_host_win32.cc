// The service control manager and the console control handler.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "platform/service_host.h"
#include "platform/win32/wide.h"

namespace zem::platform {
namespace {

constexpr DWORD kWaitHintMs = 5000;
constexpr DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// State of the one service this process runs; set before the dispatcher
// starts and read by the service main routine and the control handler.
struct ServiceState {
  std::wstring name;
  const std::function<int()>* service_main = nullptr;
  const std::function<void()>* on_stop = nullptr;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
};

ServiceState& Service() {
  static ServiceState s;
  return s;
}

void Report(DWORD state, DWORD controls, DWORD exit_code, DWORD checkpoint) {
  auto& s = Service();
  s.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.status.dwCurrentState = state;
  s.status.dwControlsAccepted = controls;
  s.status.dwWin32ExitCode = exit_code;
  s.status.dwCheckPoint = checkpoint;
  s.status.dwWaitHint = kWaitHintMs;
  SetServiceStatus(s.handle, &s.status);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, kAcceptedControls, 0, 1);
      if (Service().on_stop && *Service().on_stop) (*Service().on_stop)();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI AgentServiceMain(DWORD, LPWSTR*) {
  auto& s = Service();
  s.handle = RegisterServiceCtrlHandlerExW(s.name.c_str(), ServiceControlHandler, nullptr);
  if (!s.handle) return;
  Report(SERVICE_START_PENDING, 0, 0, 1);
  Report(SERVICE_RUNNING, kAcceptedControls, 0, 0);
  const int result = (*s.service_main)();
  Report(SERVICE_STOPPED, kAcceptedControls, static_cast<DWORD>(result), 0);
}

// Console control handler state: the callback runs on the thread the system
// creates for each console event.
std::mutex g_console_mu;
std::function<void(StopRequest)> g_console_handler;

BOOL WINAPI ConsoleControlHandler(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  std::function<void(StopRequest)> handler;
  {
    std::lock_guard lock(g_console_mu);
    handler = g_console_handler;
  }
  if (handler) handler(StopRequest::kConsoleInterrupt);
  return TRUE;
}

}  // namespace

void PrepareStopRequests() {}

Status WatchStopRequests(std::function<void(StopRequest)> on_stop) {
  {
    std::lock_guard lock(g_console_mu);
    g_console_handler = std::move(on_stop);
  }
  if (SetConsoleCtrlHandler(ConsoleControlHandler, TRUE)) return Status();
  return StatusFromLastOsError("SetConsoleCtrlHandler");
}

void StopWatchingStopRequests() {
  SetConsoleCtrlHandler(ConsoleControlHandler, FALSE);
  std::lock_guard lock(g_console_mu);
  g_console_handler = nullptr;
}

Status RunAsService(const char* name, const std::function<int()>& service_main,
                    const std::function<void()>& on_stop, int& process_exit_code) {
  auto& s = Service();
  s.name = win32::Utf8ToW(name);
  s.service_main = &service_main;
  s.on_stop = &on_stop;
  SERVICE_TABLE_ENTRYW table[] = {{s.name.data(), AgentServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return StatusFromLastOsError("StartServiceCtrlDispatcher");
  process_exit_code = 0;
  return Status();
}

}  // namespace zem::platform

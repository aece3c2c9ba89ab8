// Running as a system service, and the stop requests that end the agent.
//
// Windows: the service control manager (StartServiceCtrlDispatcherW, a control
// handler reporting start/run/stop-pending/stopped states) and the console
// control handler. Linux: `--service` runs under systemd (a Type=simple user
// unit); SIGTERM is the stop control and SIGINT the console's Ctrl-C, both
// taken on a thread of ours, never inside a signal handler.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/status.h"

namespace zem::platform {

// The kinds of stop request the agent reacts to.
enum class StopRequest {
  kConsoleInterrupt,  // Ctrl-C / closing the console (Windows), SIGINT (Linux)
  kServiceStop,       // service stop or shutdown control (Windows), SIGTERM (Linux)
};

// Must be called first thing in main, before any thread exists: on Linux it
// blocks SIGINT and SIGTERM so that every later thread inherits the mask and
// the signals wait for the stop watcher. No-op on Windows.
void PrepareStopRequests();

// Starts watching for stop requests; `on_stop` runs on a thread of the
// platform's (the console handler thread on Windows, our watcher thread on
// Linux) once per request. Fails if the watcher could not be set up (or is
// running already).
// A request that arrived since PrepareStopRequests is delivered now.
Status WatchStopRequests(std::function<void(StopRequest)> on_stop);

// Stops watching and joins the watcher thread (Linux); removes the console
// handler (Windows). Safe to call when not watching.
void StopWatchingStopRequests();

// Runs `service_main` as the service `name` under the service manager and
// returns ok when the service ran and stopped; `process_exit_code` is then
// what the process should return. Fails with the system error when the
// program was not started by the service manager (started from a console
// instead).
// Windows: a stop or shutdown control is reported as stop-pending and passed
// to `on_stop`; the service reports stopped with service_main's result as its
// Win32 exit code, and the process itself exits 0.
// Linux: "started by the service manager" means started by systemd
// ($INVOCATION_ID set); SIGTERM reaches the agent through WatchStopRequests
// as kServiceStop, and service_main's result becomes the process exit code,
// which is how systemd learns it.
Status RunAsService(const char* name, const std::function<int()>& service_main,
                    const std::function<void()>& on_stop, int& process_exit_code);

}  // namespace zem::platform

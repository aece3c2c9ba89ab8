// Stop requests on Linux: SIGINT and SIGTERM are blocked in every thread and
// read from a signalfd by one watcher thread, which calls the agent's handler
// in ordinary thread context (it may take locks and write log lines).
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/service_host.h"

namespace zem::platform {
namespace {

// Owner of the watcher thread; lock order: none (a single mutex).
struct StopWatcher {
  std::mutex mu;
  std::thread thread;
  int signal_fd = -1;
  int wake_fd = -1;
};

StopWatcher& Watcher() {
  static StopWatcher w;
  return w;
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void WatchLoop(int signal_fd, int wake_fd, std::function<void(StopRequest)> on_stop) {
  for (;;) {
    pollfd fds[2] = {{signal_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    signalfd_siginfo info;
    if (::read(signal_fd, &info, sizeof info) != sizeof info) continue;
    on_stop(info.ssi_signo == SIGINT ? StopRequest::kConsoleInterrupt
                                     : StopRequest::kServiceStop);
  }
}

}  // namespace

void PrepareStopRequests() {
  sigset_t set = StopSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Status WatchStopRequests(std::function<void(StopRequest)> on_stop) {
  constexpr const char* kWhat = "watch stop signals";
  auto& w = Watcher();
  std::lock_guard lock(w.mu);
  if (w.thread.joinable()) return StatusFromOsError(kWhat, EBUSY);
  sigset_t set = StopSignals();
  w.signal_fd = ::signalfd(-1, &set, SFD_CLOEXEC);
  const int signal_err = errno;
  w.wake_fd = ::eventfd(0, EFD_CLOEXEC);
  const int wake_err = errno;
  if (w.signal_fd < 0 || w.wake_fd < 0) {
    if (w.signal_fd >= 0) ::close(w.signal_fd);
    if (w.wake_fd >= 0) ::close(w.wake_fd);
    const int err = w.signal_fd < 0 ? signal_err : wake_err;
    w.signal_fd = w.wake_fd = -1;
    return StatusFromOsError(kWhat, static_cast<uint32_t>(err));
  }
  w.thread = std::thread(WatchLoop, w.signal_fd, w.wake_fd, std::move(on_stop));
  return Status();
}

void StopWatchingStopRequests() {
  auto& w = Watcher();
  std::lock_guard lock(w.mu);
  if (!w.thread.joinable()) return;
  const uint64_t one = 1;
  (void)!::write(w.wake_fd, &one, sizeof one);
  w.thread.join();
  ::close(w.signal_fd);
  ::close(w.wake_fd);
  w.signal_fd = w.wake_fd = -1;
}

Status RunAsService(const char*, const std::function<int()>& service_main,
                    const std::function<void()>&, int& process_exit_code) {
  // systemd sets INVOCATION_ID for every unit it starts; a program started
  // from a shell has none, just as a Windows service started from a console
  // cannot reach the service control manager.
  const char* id = std::getenv("INVOCATION_ID");
  if (!id || !*id) return StatusFromOsError("run as a systemd service", ENOTSUP);
  process_exit_code = service_main();
  return Status();
}

}  // namespace zem::platform

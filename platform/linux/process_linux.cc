#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/process.h"

extern char** environ;

namespace zem::platform {
namespace {

std::vector<std::string> BuildEnvironment(const ProcessOptions& options) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; e && *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (!eq) continue;
    vars[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [k, v] : options.env) {
    if (v) vars[k] = *v; else vars.erase(k);
  }
  std::vector<std::string> out;
  for (const auto& [k, v] : vars) out.push_back(k + "=" + v);
  return out;
}

// Children start with no signals blocked and default dispositions for the
// stop signals, whatever this process has set up (the agent blocks SIGINT
// and SIGTERM in all its threads and reads them from a signalfd).
void SetChildSignals(posix_spawnattr_t* attr, short extra_flags) {
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(attr, &none);
  posix_spawnattr_setsigdefault(attr, &defaults);
  posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extra_flags);
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

ProcessResult RunProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  ProcessResult result;
  const std::string context = "start " + program.string();
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    result.start = StatusFromLastOsError(context);
    return result;
  }
  if (::pipe2(out, O_CLOEXEC) != 0) {
    result.start = StatusFromLastOsError(context);
    ::close(in[0]);
    ::close(in[1]);
    return result;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    result.start = StatusFromLastOsError(context);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  if (options.working_dir) {
    posix_spawn_file_actions_addchdir_np(&actions, options.working_dir->c_str());
  }
  std::vector<std::string> argv_s{program.string()};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  auto argv = Pointers(argv_s);
  auto env_s = BuildEnvironment(options);
  auto envp = Pointers(env_s);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  SetChildSignals(&attr, 0);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    result.start = StatusFromOsError(context, static_cast<uint32_t>(rc));
    ::close(in[1]); ::close(out[0]); ::close(err[0]);
    return result;
  }

  // Feed stdin and drain both outputs together so no pipe fills up. poll()
  // skips negative descriptors, so a closed stream is simply set to -1.
  size_t fed = 0;
  int in_fd = in[1];
  if (options.stdin_text.empty()) { ::close(in_fd); in_fd = -1; }
  ::signal(SIGPIPE, SIG_IGN);
  int* outputs[2] = {&out[0], &err[0]};
  while (out[0] >= 0 || err[0] >= 0 || in_fd >= 0) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in_fd, POLLOUT, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (*outputs[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t got = ::read(*outputs[i], buf, sizeof buf);
      if (got > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(*outputs[i]);
        *outputs[i] = -1;
      }
    }
    if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t put = ::write(in_fd, options.stdin_text.data() + fed,
                                  options.stdin_text.size() - fed);
      if (put > 0) fed += static_cast<size_t>(put);
      if (put < 0 || fed == options.stdin_text.size()) { ::close(in_fd); in_fd = -1; }
    }
  }
  if (out[0] >= 0) ::close(out[0]);
  if (err[0] >= 0) ::close(err[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) result.exit_code = 128 + WTERMSIG(status);
  return result;
}

Status StartDetached(const std::filesystem::path& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv_s{program.string()};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  auto argv = Pointers(argv_s);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  SetChildSignals(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return StatusFromOsError("start " + program.string(), static_cast<uint32_t>(rc));
  // Reap it when it ends so it never lingers as a zombie, without touching
  // the process-wide SIGCHLD disposition that RunProcess's waitpid needs.
  std::thread([pid] {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  }).detach();
  return Status();
}

}  // namespace zem::platform

namespace zem::platform {

BackgroundProcess::~BackgroundProcess() { Kill(); }

Status BackgroundProcess::Start(const std::filesystem::path& program,
                                const std::vector<std::string>& args,
                                const ProcessOptions& options,
                                const std::filesystem::path& out_file,
                                const std::filesystem::path& err_file) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const std::string out = out_file.empty() ? "/dev/null" : out_file.string();
  const std::string err = err_file.empty() ? "/dev/null" : err_file.string();
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (options.working_dir) {
    posix_spawn_file_actions_addchdir_np(&actions, options.working_dir->c_str());
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  SetChildSignals(&attr, 0);
  std::vector<std::string> argv_s{program.string()};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  auto argv = Pointers(argv_s);
  auto env_s = BuildEnvironment(options);
  auto envp = Pointers(env_s);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return StatusFromOsError("start " + program.string(), static_cast<uint32_t>(rc));
  handle_ = pid;
  pid_ = pid;
  return Status();
}

bool BackgroundProcess::Interrupt() {
  return handle_ != 0 && ::kill(static_cast<pid_t>(handle_), SIGINT) == 0;
}

bool BackgroundProcess::RequestTermination() {
  return handle_ != 0 && ::kill(static_cast<pid_t>(handle_), SIGTERM) == 0;
}

bool BackgroundProcess::Wait(int timeout_ms, int& exit_code) {
  if (handle_ == 0) return false;
  for (int waited = 0;; waited += 10) {
    int status = 0;
    const pid_t r = ::waitpid(static_cast<pid_t>(handle_), &status, WNOHANG);
    if (r == static_cast<pid_t>(handle_)) {
      exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      handle_ = 0;
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (waited >= timeout_ms) return false;
    ::usleep(10 * 1000);
  }
}

void BackgroundProcess::Kill() {
  if (handle_ == 0) return;
  ::kill(static_cast<pid_t>(handle_), SIGKILL);
  // A killed process can take a while to end (a FUSE server whose thread
  // waits on its own mount ends only once that mount is aborted): wait a
  // little, and leave a process that is still ending for a later Wait.
  int exit_code;
  Wait(2000, exit_code);
}

}  // namespace zem::platform

namespace zem::platform {
uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }
}  // namespace zem::platform

// Starting other programs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"

namespace zem::platform {

struct ProcessResult {
  Status start;        // why the program could not be started; ok once it was
  int exit_code = -1;  // valid when started
  std::string out;     // everything written to standard output
  std::string err;     // everything written to standard error
  bool started() const { return start.ok(); }
};

struct ProcessOptions {
  // Variables to set (or, with an empty optional, remove) in the child's
  // environment; the rest is inherited.
  std::map<std::string, std::optional<std::string>> env;
  std::string stdin_text;  // fed to standard input, which is then closed
  std::optional<std::filesystem::path> working_dir;
};

// The id of this process, as the sync-root callbacks report the process
// that caused a change (FUSE request pid / Cloud Files process info).
uint32_t CurrentProcessId();

// Runs a program to completion and collects its output. `args` excludes the
// program itself. Thread-safe.
ProcessResult RunProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// Starts a program without waiting for it (detached). Fails when it could
// not be started.
Status StartDetached(const std::filesystem::path& program,
                     const std::vector<std::string>& args);

// A program started in the background whose output goes to files, for
// callers that must act while it runs (tests stopping the agent, say).
class BackgroundProcess {
 public:
  BackgroundProcess() = default;
  ~BackgroundProcess();  // kills the process if it still runs
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Starts the program with standard output and error appended to the given
  // files (empty path: discarded) and standard input empty.
  Status Start(const std::filesystem::path& program, const std::vector<std::string>& args,
               const ProcessOptions& options, const std::filesystem::path& out_file,
               const std::filesystem::path& err_file);

  // Sends the platform's console interrupt (SIGINT) or termination request
  // (SIGTERM). Returns false where the platform cannot (Windows: only
  // Terminate is available).
  bool Interrupt();
  bool RequestTermination();

  // Waits up to `timeout_ms` for the process to end; true with its exit code
  // when it has.
  bool Wait(int timeout_ms, int& exit_code);

  // Ends the process at once (SIGKILL / TerminateProcess) and waits up to
  // two seconds for it; one that is still ending then is left for Wait.
  void Kill();

  bool running() const { return handle_ != 0; }
  long pid() const { return pid_; }

 private:
  intptr_t handle_ = 0;  // pid on Linux, process HANDLE on Windows
  long pid_ = 0;
};

}  // namespace zem::platform

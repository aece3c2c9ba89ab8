// Starting other programs.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zem::platform {

struct ProcessResult {
  bool started = false;   // false: the program could not be started
  int exit_code = -1;     // valid when started
  std::string out;        // everything written to standard output
  std::string err;        // everything written to standard error
};

struct ProcessOptions {
  // Variables to set (or, with an empty optional, remove) in the child's
  // environment; the rest is inherited.
  std::map<std::string, std::optional<std::string>> env;
  std::string stdin_text;  // fed to standard input, which is then closed
  std::optional<std::filesystem::path> working_dir;
};

// Runs a program to completion and collects its output. `args` excludes the
// program itself. Thread-safe.
ProcessResult RunProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// Starts a program without waiting for it (detached). Returns false if it
// could not be started.
bool StartDetached(const std::filesystem::path& program,
                   const std::vector<std::string>& args);

}  // namespace zem::platform

// A change notification as the provider reports one made by another program
// (the user's editor, a file manager), for tests of the change handlers.
#pragma once

#include <filesystem>
#include <string>
#include <utility>

#include "platform/cloud_files.h"
#include "platform/process.h"

namespace zem::testing {

inline platform::ChangeInfo UserChange(const std::filesystem::path& path,
                                       std::string identity = "",
                                       const std::filesystem::path& source = {}) {
  platform::ChangeInfo info;
  info.path = path;
  info.source_path = source;
  info.identity = std::move(identity);
  info.pid = platform::CurrentProcessId() + 4;  // not this process: Windows pids step by 4
  return info;
}

}  // namespace zem::testing

// Where a running agent announces itself, and whether the process that did
// so still runs.
#pragma once

#include <cstdint>
#include <filesystem>

namespace zem::platform {

// The per-user folder for files that live only while the user's session
// does: Linux $XDG_RUNTIME_DIR, else the local app-data folder; Windows the
// local app-data folder. Empty when neither can be determined.
std::filesystem::path RuntimeFolder();

// True while a process with this id exists (it may belong to another user).
bool ProcessIsRunning(uint32_t pid);

}  // namespace zem::platform

#include "platform/agent_presence.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>

#include "platform/known_folders.h"

namespace zem::platform {

std::filesystem::path RuntimeFolder() {
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir == '/') return dir;
  return LocalAppDataFolder();
}

bool ProcessIsRunning(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
  // Signal 0 only checks; EPERM means it exists but is someone else's.
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace zem::platform

#include "platform/agent_presence.h"

#include <windows.h>

#include "platform/known_folders.h"

namespace zem::platform {

std::filesystem::path RuntimeFolder() { return LocalAppDataFolder(); }

bool ProcessIsRunning(uint32_t pid) {
  if (pid == 0) return false;
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return GetLastError() == ERROR_ACCESS_DENIED;  // exists, not ours
  DWORD code = 0;
  const bool alive = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
  CloseHandle(h);
  return alive;
}

}  // namespace zem::platform

#include "common/agent_log.h"

#include <string>
#include <system_error>

#include "common/config.h"
#include "platform/console.h"
#include "platform/private_files.h"

namespace zem {
namespace fs = std::filesystem;

namespace {

fs::path Copy(const fs::path& log, int n) {
  return fs::path(log).concat("." + std::to_string(n));
}

}  // namespace

void RotateLogAt(const fs::path& log) {
  std::error_code ec;
  // The app-data and logs folders are private to the user, whatever the
  // umask.
  platform::EnsurePrivateDirectory(log.parent_path());
  const uintmax_t size = fs::file_size(log, ec);
  if (ec || size < kLogRotateBytes) return;
  for (int n = 3; n >= 1; --n) {
    fs::remove(Copy(log, n), ec);
    const fs::path source = n > 1 ? Copy(log, n - 1) : log;
    if (fs::exists(source, ec)) fs::rename(source, Copy(log, n), ec);
  }
}

void RotateLog() {
  const fs::path log = AgentLogPath();
  if (log.empty()) return;
  RotateLogAt(log);
}

void RedirectOutputToLog() {
  const fs::path log = AgentLogPath();
  if (log.empty()) return;
  platform::RedirectStdStreamsToFile(log);
  platform::MakePrivate(log);  // created with the umask's mode, or left open by an older run
}

}  // namespace zem

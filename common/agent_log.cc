#include "common/agent_log.h"

#include <string>
#include <system_error>

#include "common/config.h"
#include "platform/console.h"

namespace zem {
namespace fs = std::filesystem;

namespace {

fs::path Copy(const fs::path& log, int n) {
  return fs::path(log).concat("." + std::to_string(n));
}

}  // namespace

void RotateLogAt(const fs::path& log) {
  std::error_code ec;
  fs::create_directories(log.parent_path(), ec);
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
}

}  // namespace zem

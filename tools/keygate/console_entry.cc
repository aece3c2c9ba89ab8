#include "tools/keygate/console_entry.h"

#include "common/output.h"
#include "platform/console.h"

namespace zem::keygate {

std::string TrimConsoleLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  return std::string(line);
}

std::string ReadTokenFromConsole() {
  Out("直接粘贴一个有效 Sa-Token（access-token）后回车存盘：");
  std::string line;
  platform::ReadStdinLine(line);
  return TrimConsoleLine(line);
}

}  // namespace zem::keygate

#include "common/version.h"

#include "common/output.h"
#include "zem/build_info.h"

namespace zem {

std::string_view ProductVersion() { return ZEM_PRODUCT_VERSION; }

std::string_view BuildRevision() { return ZEM_BUILD_REVISION; }

std::string VersionLine(std::string_view program) {
  std::string line(program);
  line += ' ';
  line += ProductVersion();
  line += " (rev ";
  line += BuildRevision();
  line += ")\n";
  return line;
}

bool WantsVersion(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "--version") return true;
  }
  return false;
}

bool HandleVersionRequest(std::string_view program, const std::vector<std::string>& args) {
  if (!WantsVersion(args)) return false;
  Out(VersionLine(program));
  return true;
}

}  // namespace zem

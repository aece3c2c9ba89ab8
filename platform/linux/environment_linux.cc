#include <cstdlib>

#include "platform/environment.h"

namespace zem::platform {

std::optional<std::string> GetEnv(std::string_view name) {
  const char* v = std::getenv(std::string(name).c_str());
  if (!v) return std::nullopt;
  return std::string(v);
}

bool SetEnv(std::string_view name, std::optional<std::string_view> value) {
  const std::string n(name);
  if (!value) return ::unsetenv(n.c_str()) == 0;
  return ::setenv(n.c_str(), std::string(*value).c_str(), 1) == 0;
}

}  // namespace zem::platform

#include <cerrno>
#include <cstdlib>

#include "platform/environment.h"

namespace zem::platform {

std::optional<std::string> GetEnv(std::string_view name) {
  const char* v = std::getenv(std::string(name).c_str());
  if (!v) return std::nullopt;
  return std::string(v);
}

Status SetEnv(std::string_view name, std::optional<std::string_view> value) {
  const std::string n(name);
  const int rc = value ? ::setenv(n.c_str(), std::string(*value).c_str(), 1) : ::unsetenv(n.c_str());
  if (rc == 0) return Status();
  const int err = errno;
  return StatusFromOsError("set environment variable " + n, static_cast<uint32_t>(err));
}

}  // namespace zem::platform

#include <cerrno>
#include <cstring>

#include "platform/os_error.h"

namespace zem::platform {

std::string DescribeOsError(uint32_t code) {
  char buf[256];
  // GNU strerror_r returns the message pointer (which may not be buf).
  const char* msg = strerror_r(static_cast<int>(code), buf, sizeof buf);
  return msg ? msg : "unknown error";
}

uint32_t LastOsError() { return static_cast<uint32_t>(errno); }

}  // namespace zem::platform

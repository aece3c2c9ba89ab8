#include "platform/os_error.h"

#include <cstdio>

namespace zem::platform {

std::string HexHresult(int32_t hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", static_cast<uint32_t>(hr));
  return buf;
}

}  // namespace zem::platform

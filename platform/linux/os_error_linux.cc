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

std::string DescribeHresult(int32_t hr) {
  const uint32_t bits = static_cast<uint32_t>(hr);
  if ((bits & 0xFFFF0000u) != 0x80070000u) return "HRESULT 0x" + HexHresult(hr);
  // The provider's own failures carry Windows error numbers that are no
  // errno; an HRESULT formed from an errno is described by that errno.
  switch (bits & 0xFFFFu) {
    case 376: return "The file is not a cloud file";
    case 377: return "The file is not in sync with the cloud";
    case 390: return "The operation is only supported on files under a cloud sync root";
    default: return DescribeOsError(bits & 0xFFFFu);
  }
}

uint32_t LastOsError() { return static_cast<uint32_t>(errno); }

}  // namespace zem::platform

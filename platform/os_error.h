// A failure as the operating system reports it.
//
// On Windows `code` is a Win32 error number (GetLastError); on Linux it is the
// errno. Log lines print it as "err=<decimal>"; where a Windows HRESULT is
// printed, Linux forms one the way HRESULT_FROM_WIN32 does, so every log
// format reads the same on both platforms.
#pragma once

#include <cstdint>
#include <string>

namespace zem::platform {

// The HRESULT that stands for an operating-system error code:
// 0x80070000 | (code & 0xFFFF); 0 stays 0 (success).
constexpr int32_t HresultFromOsError(uint32_t code) {
  return code == 0 ? 0 : static_cast<int32_t>(0x80070000u | (code & 0xFFFFu));
}

// Lower-case hexadecimal of an HRESULT without leading zeros, as log lines
// print it after "hr=0x" or "HRESULT=0x".
std::string HexHresult(int32_t hr);

// The system's own message text for an error code, UTF-8, without a trailing
// line break. Thread-safe.
std::string DescribeOsError(uint32_t code);

// The system's text for an HRESULT (Windows: FormatMessage; Linux: the
// provider's own codes by name, else the errno text of an HRESULT formed
// from an errno), UTF-8, without a trailing line break. Thread-safe.
std::string DescribeHresult(int32_t hr);

// The calling thread's last error code (GetLastError / errno).
uint32_t LastOsError();

}  // namespace zem::platform

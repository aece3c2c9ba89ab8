#include <windows.h>

#include "platform/os_error.h"
#include "platform/text.h"

namespace zem::platform {

std::string DescribeOsError(uint32_t code) {
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  if (n == 0 || !buf) return "error " + std::to_string(code);
  std::u16string text(reinterpret_cast<const char16_t*>(buf), n);
  LocalFree(buf);
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ')) {
    text.pop_back();
  }
  return WideToUtf8(text);
}

uint32_t LastOsError() { return GetLastError(); }

}  // namespace zem::platform

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

std::string DescribeHresult(int32_t hr) {
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::u16string text = (n && buf) ? std::u16string(reinterpret_cast<const char16_t*>(buf), n)
                                   : std::u16string();
  if (buf) LocalFree(buf);
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ')) {
    text.pop_back();
  }
  if (text.empty() && hr == REGDB_E_CLASSNOTREG) {
    // Wine, and Windows before 10 1709, have no storage-provider classes.
    return "Class not registered: this system has no storage-provider sync-root classes";
  }
  if (text.empty()) return "HRESULT 0x" + HexHresult(hr);
  return WideToUtf8(text);
}

uint32_t LastOsError() { return GetLastError(); }

}  // namespace zem::platform

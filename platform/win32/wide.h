// Helpers for the Win32 boundary: std::u16string and wchar_t strings are the
// same code units on Windows.
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

namespace zem::platform::win32 {

inline std::wstring ToW(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }
inline std::wstring Utf8ToW(std::string_view s) { return ToW(Utf8ToWide(s)); }
inline std::string WToUtf8(std::wstring_view s) {
  return WideToUtf8(std::u16string(s.begin(), s.end()));
}

}  // namespace zem::platform::win32

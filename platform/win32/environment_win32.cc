#include <windows.h>

#include <cstdlib>

#include "platform/environment.h"
#include "platform/win32/wide.h"

namespace zem::platform {

std::optional<std::string> GetEnv(std::string_view name) {
  const std::wstring n = win32::Utf8ToW(name);
  SetLastError(0);
  const DWORD size = GetEnvironmentVariableW(n.c_str(), nullptr, 0);
  if (size == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::wstring buf(size, L'\0');
  const DWORD got = GetEnvironmentVariableW(n.c_str(), buf.data(), size);
  buf.resize(got < size ? got : 0);
  return win32::WToUtf8(buf);
}

Status SetEnv(std::string_view name, std::optional<std::string_view> value) {
  const std::wstring n = win32::Utf8ToW(name);
  const std::wstring v = value ? win32::Utf8ToW(*value) : std::wstring();
  // Both the process block (child processes, GetEnvironmentVariableW) and the
  // C runtime's copy (getenv) are kept in step.
  const BOOL ok = SetEnvironmentVariableW(n.c_str(), value ? v.c_str() : nullptr);
  const DWORD error = ok ? 0 : GetLastError();
  _wputenv_s(n.c_str(), v.c_str());  // an empty value removes it from the runtime's copy
  return StatusFromOsError("SetEnvironmentVariable " + std::string(name), error);
}

}  // namespace zem::platform

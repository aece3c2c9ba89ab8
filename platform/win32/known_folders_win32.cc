#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/known_folders.h"

namespace zem::platform {
namespace {

std::filesystem::path Known(REFKNOWNFOLDERID id) {
  PWSTR raw = nullptr;
  std::filesystem::path out;
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &raw)) && raw) out = raw;
  CoTaskMemFree(raw);
  return out;
}

}  // namespace

std::filesystem::path RoamingAppDataFolder() { return Known(FOLDERID_RoamingAppData); }
std::filesystem::path LocalAppDataFolder() { return Known(FOLDERID_LocalAppData); }
std::filesystem::path ProfileFolder() { return Known(FOLDERID_Profile); }

std::filesystem::path TempFolder() {
  wchar_t buf[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 1, buf);
  if (n == 0 || n > MAX_PATH + 1) return {};
  return std::filesystem::path(std::wstring(buf, n));
}

std::filesystem::path RunningProgramFolder() {
  std::wstring buf(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  if (n == 0 || n >= buf.size()) return {};
  buf.resize(n);
  return std::filesystem::path(buf).parent_path();
}

}  // namespace zem::platform

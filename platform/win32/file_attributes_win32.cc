#include <windows.h>

#include "platform/file_attributes.h"

namespace zem::platform {

uint32_t ReadFileAttributes(const std::filesystem::path& path, uint32_t* attributes) {
  const DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return GetLastError();
  *attributes = a;
  return 0;
}

uint32_t WriteFileAttributes(const std::filesystem::path& path, uint32_t attributes) {
  constexpr uint32_t kSettable = kFileAttributeReadonly | kFileAttributeHidden |
                                 kFileAttributeSystem | kFileAttributeTemporary;
  DWORD a = attributes & kSettable;
  if (a == 0) a = FILE_ATTRIBUTE_NORMAL;
  return SetFileAttributesW(path.c_str(), a) ? 0 : GetLastError();
}

uint32_t ReadLastWriteTime(const std::filesystem::path& path, int64_t* filetime) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return GetLastError();
  *filetime = (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
              data.ftLastWriteTime.dwLowDateTime;
  return 0;
}

uint32_t WriteLastWriteTime(const std::filesystem::path& path, int64_t filetime) {
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(filetime & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(filetime) >> 32);
  const uint32_t err = SetFileTime(h, nullptr, nullptr, &ft) ? 0 : GetLastError();
  CloseHandle(h);
  return err;
}

uint32_t MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : GetLastError();
}

int64_t CurrentFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace zem::platform

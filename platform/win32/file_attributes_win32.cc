#include <windows.h>

#include "platform/file_attributes.h"
#include "platform/text.h"

namespace zem::platform {
namespace {

// The failure of `what` on `path` with `err` (0: ok).
Status Failure(const char* what, const std::filesystem::path& path, DWORD err) {
  if (err == 0) return Status();
  return StatusFromOsError(std::string(what) + " " + PathToUtf8(path), err);
}

}  // namespace

Status ReadFileAttributes(const std::filesystem::path& path, uint32_t* attributes) {
  const DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return Failure("read attributes of", path, GetLastError());
  *attributes = a;
  return Status();
}

Status WriteFileAttributes(const std::filesystem::path& path, uint32_t attributes) {
  constexpr uint32_t kSettable = kFileAttributeReadonly | kFileAttributeHidden |
                                 kFileAttributeSystem | kFileAttributeTemporary;
  DWORD a = attributes & kSettable;
  if (a == 0) a = FILE_ATTRIBUTE_NORMAL;
  return Failure("write attributes of", path, SetFileAttributesW(path.c_str(), a) ? 0 : GetLastError());
}

Status ReadLastWriteTime(const std::filesystem::path& path, int64_t* filetime) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    return Failure("read last-write time of", path, GetLastError());
  }
  *filetime = (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
              data.ftLastWriteTime.dwLowDateTime;
  return Status();
}

Status WriteLastWriteTime(const std::filesystem::path& path, int64_t filetime) {
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  constexpr const char* kWhat = "write last-write time of";
  if (h == INVALID_HANDLE_VALUE) return Failure(kWhat, path, GetLastError());
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(filetime & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(filetime) >> 32);
  const DWORD err = SetFileTime(h, nullptr, nullptr, &ft) ? 0 : GetLastError();
  CloseHandle(h);
  return Failure(kWhat, path, err);
}

Status MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return Status();
  const DWORD err = GetLastError();
  return StatusFromOsError("move " + PathToUtf8(from) + " to " + PathToUtf8(to), err);
}

int64_t CurrentFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace zem::platform

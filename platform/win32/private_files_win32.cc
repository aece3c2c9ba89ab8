// The per-user app-data folders are private by their inherited ACL; see
// platform/private_files.h.
#include <windows.h>

#include <algorithm>
#include <system_error>

#include "platform/private_files.h"
#include "platform/text.h"

namespace zem::platform {
namespace {

Status Failure(const char* what, const std::filesystem::path& path, uint32_t err) {
  if (err == 0) return Status();
  return StatusFromOsError(std::string(what) + " " + PathToUtf8(path), err);
}

}  // namespace

Status EnsurePrivateDirectory(const std::filesystem::path& dir) {
  constexpr const char* kWhat = "create private folder";
  if (dir.empty()) return Failure(kWhat, dir, ERROR_PATH_NOT_FOUND);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return Failure(kWhat, dir, static_cast<uint32_t>(ec.value()));
  if (!std::filesystem::is_directory(dir, ec)) return Failure(kWhat, dir, ERROR_DIRECTORY);
  return Status();
}

Status MakePrivate(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return Failure("make private", path, ERROR_FILE_NOT_FOUND);
  return Status();
}

Status WritePrivateFile(const std::filesystem::path& path, std::string_view content,
                        bool* opened) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened) *opened = h != INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) return Failure("open", path, GetLastError());
  DWORD err = 0;
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(left, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) {
      err = GetLastError();
      if (err == 0) err = ERROR_WRITE_FAULT;
      break;
    }
    p += written;
    left -= written;
  }
  if (err == 0 && !FlushFileBuffers(h)) err = GetLastError();
  if (!CloseHandle(h) && err == 0) err = GetLastError();
  return Failure("write", path, err);
}

}  // namespace zem::platform

// One enumeration of the folder gives every entry's attributes (the
// placeholder bits included) and last-write time; only entries that are
// reparse points are opened for their placeholder state.
#include <windows.h>

#include "platform/file_attributes.h"
#include "platform/folder_states.h"
#include "platform/os_error.h"
#include "platform/text.h"

namespace zem::platform {

Status ReadFolderStates(const std::filesystem::path& dir, std::vector<FolderEntryState>* out) {
  out->clear();
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW((dir / L"*").c_str(), FindExInfoBasic, &data,
                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    // No such folder, or a file where the folder was (reported as an invalid
    // name by some systems): nothing in it.
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return Status();
    const DWORD a = GetFileAttributesW(dir.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0) return Status();
    return StatusFromOsError("read folder " + PathToUtf8(dir), err);
  }
  do {
    const wchar_t* name = data.cFileName;
    if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
    FolderEntryState e;
    e.name = name;
    e.attributes = data.dwFileAttributes;
    e.is_directory = (e.attributes & kFileAttributeDirectory) != 0;
    if (!e.is_directory) {
      e.last_write_time = (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                          data.ftLastWriteTime.dwLowDateTime;
    }
    if (e.attributes & kFileAttributeReparsePoint) {
      PlaceholderHandle handle;
      if (handle.Open(dir / e.name, /*delete_access=*/false).ok() &&
          handle.GetState(&e.state).ok()) {
        e.is_placeholder = e.state.is_placeholder;
      }
    }
    out->push_back(std::move(e));
  } while (FindNextFileW(find, &data));
  const DWORD err = GetLastError();
  FindClose(find);
  if (err != ERROR_NO_MORE_FILES) return StatusFromOsError("read folder " + PathToUtf8(dir), err);
  return Status();
}

}  // namespace zem::platform

#include "platform/folder_states.h"

#include <system_error>

#include "platform/file_attributes.h"

namespace zem::platform {

bool ReadEntryState(const std::filesystem::path& path, FolderEntryState* out) {
  FolderEntryState e;
  e.name = path.filename();
  if (ReadFileAttributes(path, &e.attributes) != 0) return false;
  e.is_directory = (e.attributes & kFileAttributeDirectory) != 0;
  if (e.attributes & kFileAttributeReparsePoint) {
    PlaceholderHandle handle;
    if (handle.Open(path, /*delete_access=*/false) == 0 && Succeeded(handle.GetState(&e.state))) {
      e.is_placeholder = e.state.is_placeholder;
    }
  }
  if (!e.is_directory && ReadLastWriteTime(path, &e.last_write_time) != 0) e.last_write_time = 0;
  *out = std::move(e);
  return true;
}

bool ReadFolderStatesOneByOne(const std::filesystem::path& dir,
                              std::vector<FolderEntryState>* out, std::string* error) {
  out->clear();
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec), end;
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) return true;
    *error = ec.message();
    return false;
  }
  for (; it != end; it.increment(ec)) {
    FolderEntryState e;
    if (ReadEntryState(it->path(), &e)) out->push_back(std::move(e));  // else vanished meanwhile
  }
  if (ec) {
    *error = ec.message();
    return false;
  }
  return true;
}

}  // namespace zem::platform

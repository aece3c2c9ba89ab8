#include "sync/poll/local_scan.h"

#include <system_error>

#include "platform/file_attributes.h"
#include "platform/text.h"
#include "sync/identity.h"
#include "sync/state/file_time.h"

namespace zem {
namespace fs = std::filesystem;

std::string LocalEntry::server_id() const { return ServerIdFromIdentity(state.identity); }

bool ReadLocalEntry(const fs::path& path, LocalEntry* out) {
  LocalEntry e;
  e.path = path;
  if (platform::ReadFileAttributes(path, &e.attributes) != 0) return false;
  e.is_directory = (e.attributes & platform::kFileAttributeDirectory) != 0;
  if (e.attributes & platform::kFileAttributeReparsePoint) {
    platform::PlaceholderHandle handle;
    if (handle.Open(path, /*delete_access=*/false) == 0 &&
        platform::Succeeded(handle.GetState(&e.state))) {
      e.is_placeholder = e.state.is_placeholder;
    }
  }
  if (!e.is_directory) e.mtime = FileModifiedTime(path);
  *out = std::move(e);
  return true;
}

bool ScanLocalFolder(const fs::path& dir, LocalFolder* out, std::string* error) {
  out->clear();
  std::error_code ec;
  fs::directory_iterator it(dir, ec), end;
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) return true;
    *error = ec.message();
    return false;
  }
  for (; it != end; it.increment(ec)) {
    LocalEntry entry;
    if (!ReadLocalEntry(it->path(), &entry)) continue;  // vanished meanwhile
    (*out)[platform::PathToUtf8(it->path().filename())] = std::move(entry);
  }
  if (ec) {
    *error = ec.message();
    return false;
  }
  return true;
}

}  // namespace zem

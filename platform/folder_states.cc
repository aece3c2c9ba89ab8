#include "platform/folder_states.h"

#include <system_error>

#include "platform/file_attributes.h"
#include "platform/text.h"

namespace zem::platform {

Status ReadEntryState(const std::filesystem::path& path, FolderEntryState* out) {
  FolderEntryState e;
  e.name = path.filename();
  if (Status read = ReadFileAttributes(path, &e.attributes); !read.ok()) return read;
  e.is_directory = (e.attributes & kFileAttributeDirectory) != 0;
  if (e.attributes & kFileAttributeReparsePoint) {
    PlaceholderHandle handle;
    if (handle.Open(path, /*delete_access=*/false).ok() && handle.GetState(&e.state).ok()) {
      e.is_placeholder = e.state.is_placeholder;
    }
  }
  if (!e.is_directory && !ReadLastWriteTime(path, &e.last_write_time).ok()) e.last_write_time = 0;
  *out = std::move(e);
  return Status();
}

namespace {

// The failure of reading `dir`, with the library's own text of it.
Status ListingFailure(const std::filesystem::path& dir, const std::error_code& ec) {
  return StatusFromOsError("read folder " + PathToUtf8(dir), static_cast<uint32_t>(ec.value()))
      .WithExplanation(ec.message());
}

}  // namespace

Status ReadFolderStatesOneByOne(const std::filesystem::path& dir,
                                std::vector<FolderEntryState>* out) {
  out->clear();
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec), end;
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) {
      return Status();
    }
    return ListingFailure(dir, ec);
  }
  for (; it != end; it.increment(ec)) {
    FolderEntryState e;
    if (ReadEntryState(it->path(), &e).ok()) out->push_back(std::move(e));  // else vanished meanwhile
  }
  if (ec) return ListingFailure(dir, ec);
  return Status();
}

}  // namespace zem::platform

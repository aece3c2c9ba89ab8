#include "sync/poll/local_scan.h"

#include <vector>

#include "platform/folder_states.h"
#include "platform/text.h"
#include "sync/identity.h"
#include "sync/placeholder_provider.h"
#include "sync/state/file_time.h"

namespace zem {
namespace fs = std::filesystem;
namespace {

LocalEntry FromState(fs::path path, platform::FolderEntryState&& s) {
  LocalEntry e;
  e.path = std::move(path);
  e.is_directory = s.is_directory;
  e.attributes = s.attributes;
  e.is_placeholder = s.is_placeholder;
  e.state = std::move(s.state);
  if (!e.is_directory) e.mtime = SecondsFromWriteTicks(s.last_write_time);
  return e;
}

}  // namespace

std::string LocalEntry::server_id() const { return ServerIdFromIdentity(state.identity); }

bool ReadLocalEntry(const fs::path& path, LocalEntry* out) {
  platform::FolderEntryState s;
  if (!Placeholders().ReadEntryState(path, &s).ok()) return false;
  *out = FromState(path, std::move(s));
  return true;
}

bool ScanLocalFolder(const fs::path& dir, LocalFolder* out, std::string* error) {
  out->clear();
  std::vector<platform::FolderEntryState> entries;
  if (const platform::Status read = Placeholders().ReadFolderStates(dir, &entries); !read.ok()) {
    *error = read.reason();
    return false;
  }
  for (auto& s : entries) {
    std::string name = platform::PathToUtf8(s.name);
    fs::path path = dir / s.name;
    (*out)[std::move(name)] = FromState(std::move(path), std::move(s));
  }
  return true;
}

}  // namespace zem

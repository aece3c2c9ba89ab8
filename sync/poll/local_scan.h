// One folder of the sync root as the poll cycle sees it: every entry with
// its kind, Windows attribute bits and placeholder state. Reading a
// placeholder's state never reads its content.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "platform/cloud_files.h"

namespace zem {

struct LocalEntry {
  std::filesystem::path path;
  bool is_directory = false;
  uint32_t attributes = 0;
  bool is_placeholder = false;       // carries an identity (reparse point)
  platform::PlaceholderState state;  // when is_placeholder
  int64_t mtime = 0;                 // seconds since 1970 (files)

  char kind() const {  // the identity's kind letter, 0 for plain entries
    return is_placeholder && state.identity.size() >= 2 && state.identity[1] == ':'
               ? state.identity[0]
               : 0;
  }
  std::string server_id() const;  // the identity's value
  // A file placeholder of server file content whose local copy was changed
  // since it was last in sync.
  bool changed_locally() const {
    return kind() == 'F' && !is_directory && !state.in_sync && state.hydrated;
  }
};

// Name (UTF-8) → entry. Sorted by name.
using LocalFolder = std::map<std::string, LocalEntry>;

// Reads the direct entries of `dir`. A missing folder gives an empty result
// and true; any other failure gives false with the reason in *error.
bool ScanLocalFolder(const std::filesystem::path& dir, LocalFolder* out, std::string* error);

// One entry (for re-checks right before acting on it); false when it is
// gone or cannot be read.
bool ReadLocalEntry(const std::filesystem::path& path, LocalEntry* out);

}  // namespace zem

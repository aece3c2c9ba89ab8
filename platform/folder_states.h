// The entries of one folder with their Windows attribute bits, last-write
// times and placeholder states, read in one pass: what the poll cycle looks
// at for every folder of the sync root in every cycle.
//
// ReadEntryState is the generic way, one entry at a time, through the
// ordinary calls (ReadFileAttributes, a PlaceholderHandle and its GetState,
// ReadLastWriteTime). ReadFolderStates gives, for every entry, exactly what
// ReadEntryState gives for it, but cheaper:
//   Linux: for a folder of a sync root this process has connected, the
//     entries are read from the folder under the mount (where the provider
//     keeps the files and their placeholder attributes), with the provider's
//     own rules for content left by a cut-off fetch or written while nothing
//     was mounted; no request goes through the mount. Any other folder is
//     read entry by entry.
//   Windows: one directory enumeration gives attributes and times; only
//     placeholders are opened for their state.
//
// Thread-safe; never reads a file's content.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/status.h"

namespace zem::platform {

struct FolderEntryState {
  std::filesystem::path name;  // one component
  bool is_directory = false;
  uint32_t attributes = 0;     // as ReadFileAttributes reports them
  // The last-write time of a file (following a link) in FILETIME ticks; 0 for
  // folders and when it cannot be read.
  int64_t last_write_time = 0;
  // Read only for entries whose attributes carry REPARSE_POINT; left as it
  // is constructed for the others (and when the state cannot be read).
  bool is_placeholder = false;
  PlaceholderState state;  // logical_size is the size the file shows
};

// One entry; fails (leaving *out alone) when it is gone or its attributes
// cannot be read.
Status ReadEntryState(const std::filesystem::path& path, FolderEntryState* out);

// ReadFolderStates the generic way: the folder's entries one ReadEntryState
// at a time.
Status ReadFolderStatesOneByOne(const std::filesystem::path& dir,
                                std::vector<FolderEntryState>* out);

// Replaces *out with the direct entries of `dir` (not "." and ".."), in no
// particular order; an entry that vanishes while the folder is read is left
// out. A missing folder (or a path that is not a folder) gives an empty
// result and ok; any other failure is reported with the system's reason.
Status ReadFolderStates(const std::filesystem::path& dir, std::vector<FolderEntryState>* out);

}  // namespace zem::platform

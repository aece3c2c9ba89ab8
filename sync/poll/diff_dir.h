// Reconciliation of one folder of the documents tree with its server
// listing, and recursively of everything below it. Runs on the poll thread.
//
// What it does, in order: list the server folder; follow items that were
// renamed or moved on the service (same id, other name or folder); upload
// new local files and adopt those the service already holds; upload local
// edits (and keep both versions on a conflict); recycle what the user
// deleted; repair and create folders; create placeholders for new server
// files; remove in-sync placeholders of items the service no longer has;
// descend.
//
// Only local items that mirror the service and are in sync are ever removed:
// pending uploads, local edits, plain files and plain folders are kept. A
// failure in one folder is reported and the walk goes on with the next.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "client/listing.h"

namespace zem {

struct ServerFolder {
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
};

// Counts of one cycle, for the log and tests.
struct PollCounters {
  int folders_listed = 0;
  int files_hashed = 0;
  int uploads = 0;
};

void DiffDir(const std::filesystem::path& dir, const std::string& folder_id,
             PollCounters* counters);

}  // namespace zem

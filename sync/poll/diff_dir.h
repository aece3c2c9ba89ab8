// Reconciliation of one folder of the documents tree with its server
// listing, and recursively of everything below it. Runs on the poll thread.
//
// What it does, in order: list the server folder; follow items that were
// renamed or moved on the service (same id, other name or folder); upload
// new local files and adopt those the service already holds; upload local
// edits (and keep both versions on a conflict); queue the moves and renames
// the user made while no notification reached the agent; note what the user
// deleted (recycled once the whole tree was walked); repair and create folders; create placeholders for new server
// files; note in-sync placeholders of items the service no longer has;
// descend. Once the whole tree was walked, the noted items that no folder
// listed are removed.
//
// Only local items that mirror the service and are in sync are ever removed:
// pending uploads, local edits, plain files and plain folders are kept. A
// failure in one folder is reported and the walk goes on with the next.
#pragma once

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "client/listing.h"

namespace zem {

struct ServerFolder {
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
};

// A listed file that was here and is gone locally: the user deleted it,
// unless it turns up elsewhere in the tree once the whole tree was walked.
struct DeletionCandidate {
  std::string file_id;
  std::filesystem::path path;  // where the agent last placed it
};

// A local item that mirrors the service and that its folder's listing no
// longer holds: removed once the whole tree was walked, unless another
// folder listed its id (moved on the service, and followed there).
struct GoneCandidate {
  std::filesystem::path path;
  std::string identity;  // when its folder was read
  std::string server_id;
  bool is_directory = false;
  std::chrono::steady_clock::time_point listed_at;  // when its folder was listed
};

// One cycle: its counts (for the log and tests) and what the folder passes
// leave to be settled once the whole tree was walked.
struct PollCounters {
  int folders_listed = 0;
  int files_hashed = 0;
  int uploads = 0;
  bool incomplete = false;                           // a folder could not be listed or read
  std::set<std::string> local_file_ids;              // "F:" ids seen in the folders walked
  std::vector<std::filesystem::path> unmapped_dirs;  // local folders the service does not list
  std::vector<DeletionCandidate> deletions;
  std::set<std::string> listed_file_ids;    // every file id listed in this cycle
  std::set<std::string> listed_folder_ids;  // every folder id listed in this cycle
  std::vector<GoneCandidate> gone;
};

void DiffDir(const std::filesystem::path& dir, const std::string& folder_id,
             PollCounters* counters);

// Recycles the deletion candidates of a complete walk that are not found
// anywhere in the tree (a file moved while no notification reached the
// agent is not a deletion). After an incomplete walk nothing is recycled:
// the folders not read may hold the files.
void RecycleUserDeletions(PollCounters* cycle);

// Removes the in-sync items the service no longer has (GoneCandidate); a
// local edit, a pending move and anything given a new identity meanwhile
// are kept.
void RemoveItemsGoneFromService(PollCounters* cycle);

}  // namespace zem

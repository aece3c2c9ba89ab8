// The real-time path's reaction to the user's changes in the sync root: the
// close, delete and rename completions of the sync-root connection become
// tasks of the upload queue (sync/realtime/upload_queue.h).
//
// The handlers run on the provider's callback (Linux: dispatcher) thread and
// return quickly: they filter, look things up in memory and enqueue. They
// ignore every change made by the agent's own process (placeholder
// creation, conversion, hydration, the poll cycle's renames and deletes) and
// everything while the layout migration runs.
//
// Thread-safe; no lock of this module is held while another is taken.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/cloud_files.h"
#include "sync/session.h"

namespace zem {

// The connected sync root, set before the connection is made.
void SetRealtimeSyncRoot(const std::filesystem::path& root);

// A closed file that was written: a new plain file in a mapped folder
// becomes a pending placeholder and an Upload task.
void OnFileCloseCompletion(const platform::ChangeInfo& info);
// A deleted file placeholder ("F:" identity) of the documents tree becomes a
// Recycle task; anything else recycles nothing.
void OnDeleteCompletion(const platform::ChangeInfo& info);
// A file placeholder renamed in its folder becomes a Rename task (same id);
// moved into another mapped folder, a Move task; renamed to a temporary name
// it is held aside (the service keeps the old name). A plain or pending file
// renamed to a name worth syncing is treated as a saved file.
void OnRenameCompletion(const platform::ChangeInfo& info);

// A file placeholder the poll cycle found at `to` while the agent last
// placed it at `from`: moved or renamed when no notification reached the
// agent (it was not running, or it was starting). Queued as the rename
// handler would have queued it.
void QueueMissedFileMove(const std::string& file_id, const std::filesystem::path& from,
                         const std::filesystem::path& to);

// A file placeholder now in a folder the service does not have: queues the
// task that fetches its content and takes it out of sync, so it stays
// readable as the user's own copy whatever the service does with its file.
void QueueLocalCopy(const std::string& file_id, const std::filesystem::path& path);

// The three handlers, for the sync-root connection.
ChangeHandlers RealtimeChangeHandlers();

// True when a file of this leaf name is synced by the real-time path: not
// empty, not starting with '~' or '.', not desktop.ini, not ending in .tmp,
// .crdownload or .partial, and free of '|' (which the queue file cannot
// carry; the poll cycle uploads such files).
bool IsRealtimeSyncedName(std::string_view utf8_name);

// Marks a service file as being changed locally (a queued rename, move or
// recycle) so the poll cycle leaves it alone; counted, so overlapping tasks
// for one id keep the mark until the last one ends.
void HoldLocalMove(std::string_view file_id);
void ReleaseLocalMove(std::string_view file_id);

}  // namespace zem

// Making placeholders out of local items and setting their in-sync state.
//
// Each operation works only on the path it is given, keeps no state and
// takes no lock, so the poll thread, the upload workers and the
// notification handlers may call them at once. Failures are reported with
// one line on the error output and a false result; nothing is retried here.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "client/listing.h"
#include "platform/cloud_files.h"

namespace zem {

// Makes the file at `path` a placeholder of server file `file_id`, in sync.
// A file that is a placeholder already (a pending one, say) gets the new
// identity instead. Lines: "[CONVERT-ERR] CreateFile failed for <path>
// err=<n>", "[CONVERT-ERR] CfConvertToPlaceholder|CfUpdatePlaceholder
// hr=0x<hex> for <path>".
bool ConvertToFilePlaceholder(const std::filesystem::path& path, std::string_view file_id);

// Points the file placeholder at `path` to server file `file_id` of `size`
// bytes (and listed SHA-256, may be empty), dropping its local content (the next read downloads the new
// version), in sync. Line: "[REPOINT-ERR] hr=0x<hex> for <path>".
bool RepointFilePlaceholder(const std::filesystem::path& path, std::string_view file_id,
                            int64_t size, std::string_view content_sha256);

// Takes back an in-sync mark that was made on the belief that the file was
// last written at `ticks_before` (FileWriteTicks) when it was written since:
// a save that raced the mark must still go up. True when the mark stands.
// Line: "[INSYNC-UNDO] <path> was written while it was marked in sync; the
// change goes up next".
bool KeepInSyncMarkIfUnwritten(const std::filesystem::path& path, int64_t ticks_before);

// Makes a new local file a placeholder with the pending identity, not in
// sync. Any placeholder already is left alone (true); a missing path gives
// false without a line. Lines: "[PENDING-ERR] CreateFile failed for <path>
// err=<n>", "[PENDING-ERR] CfConvertToPlaceholder hr=0x<hex> for <path>".
bool MarkPendingPlaceholder(const std::filesystem::path& path);

// Creates one in-sync file placeholder per entry in `base` in one batch
// (identity "F:" + id, normal attributes, the entry's size, all four times
// set to the current time). Entries that cannot be created are simply
// absent; nothing is reported. With `items`, the batch (one item per entry,
// in order, each with its result) is handed back to the caller.
void CreateFilePlaceholders(const std::filesystem::path& base, const std::vector<FileEntry>& files,
                            std::vector<platform::PlaceholderItem>* items = nullptr);

// Windows clears the in-sync state of a folder whenever one of its children
// changes (the sync root's in-sync policy watches the folders' last-write
// times), so Explorer would show every folder the agent or the user touched
// as pending. Once the engine has dealt with a change, the folders are
// marked in sync again:
// MarkFolderInSync marks `dir` when it is a folder placeholder of the
// service or a virtual root ("D:" / "V:") not in sync; true when it did.
// MarkFoldersInSync does that for `dir` and each folder above it, up to the
// first one that is no such placeholder (the sync root); returns how many
// it marked. Quiet: a folder that cannot be marked stays as it is.
bool MarkFolderInSync(const std::filesystem::path& dir);
int MarkFoldersInSync(const std::filesystem::path& dir);

// Marks every placeholder below `root` in sync, except pending files and
// file placeholders changed locally (they must still be uploaded), and prints
// "[REASSERT] <n> placeholders marked IN_SYNC (<m> failed)". Nothing when
// `root` is no directory. An error while walking the tree ends the walk
// (reported with "[REASSERT-ERR] …") instead of escaping to the thread.
void ReassertInSync(const std::filesystem::path& root);

}  // namespace zem

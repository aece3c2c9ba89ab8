// The sync-root provider: the folder whose files are placeholders of items
// that live on the service, filled on demand.
//
// Windows: the Cloud Files API (cldapi.dll, loaded at run time). Linux: a FUSE
// filesystem mounted over the sync-root folder itself, passing through to the
// folder's own content, with the placeholder state in extended attributes
// (user.zem.identity, user.zem.size, user.zem.state, user.zem.attributes).
//
// Every function reports its outcome as a Status (platform/status.h): ok, or
// the failure with what was being done on which path. Windows gives the
// HRESULT of the Cloud Files call; Linux the errno, whose hresult() is formed
// the way HRESULT_FROM_WIN32 does, so a log line prints "hr=0x…" the same way
// on both platforms. The provider's own failures are the kHr… values below on
// both platforms (compare with Status::Is). None of the functions throws.
//
// Thread-safety: every function may be called from any thread at any time,
// and from inside a callback, except DisconnectSyncRoot, which waits for the
// connection's callbacks and so must not be called from one of them.
// Callbacks never run on the platform's own threads: fetch-data callbacks
// run on the provider's threads, one fetch per file at a time, several files
// at once (Windows: a pool of 8, further fetches wait for a thread); the
// close, delete and rename completions arrive in order on one dispatcher
// thread per connection, after the operation they report has completed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_error.h"
#include "platform/status.h"

namespace zem::platform {

// Completion statuses of a transfer (NTSTATUS values).
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusUnsuccessful = 0xC0000001u;
inline constexpr uint32_t kStatusEndOfFile = 0xC0000011u;
inline constexpr uint32_t kStatusNoMemory = 0xC0000017u;

// Failures of the provider itself, the same values on both platforms.
// The folder is not a registered sync root (what CfConnectSyncRoot reports
// for an unregistered folder: ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT, 390).
inline constexpr int32_t kHrNotUnderSyncRoot = HresultFromOsError(390);
// The folder is connected already (ERROR_ALREADY_EXISTS).
inline constexpr int32_t kHrAlreadyConnected = HresultFromOsError(183);
// The connection or transfer key is unknown, or its fetch has ended
// (ERROR_INVALID_HANDLE).
inline constexpr int32_t kHrInvalidKey = HresultFromOsError(6);
// The placeholder platform is missing: no cldapi.dll (ERROR_MOD_NOT_FOUND).
inline constexpr int32_t kHrProviderUnavailable = HresultFromOsError(126);
// The item is not a placeholder (ERROR_NOT_A_CLOUD_FILE).
inline constexpr int32_t kHrNotACloudFile = HresultFromOsError(376);
// ERROR_CLOUD_FILE_NOT_IN_SYNC: the placeholder holds a local change.
inline constexpr int32_t kHrNotInSync = HresultFromOsError(377);
// An invalid argument (ERROR_INVALID_PARAMETER).
inline constexpr int32_t kHrInvalidArgument = HresultFromOsError(87);

// The key of one connection, returned by ConnectSyncRoot.
using ConnectionKey = int64_t;

// What TransferData needs to answer one fetch. Copied freely.
struct TransferKey {
  ConnectionKey connection = 0;
  int64_t transfer = 0;
  int64_t request = 0;  // opaque: what the provider needs to find the fetch
};

// A request for file content (the fetch-data callback).
struct FetchDataInfo {
  TransferKey key;
  std::string identity;          // the placeholder's identity bytes
  std::filesystem::path path;    // full path of the file
  int64_t required_offset = 0;
  int64_t required_length = 0;
  int64_t file_size = 0;         // the placeholder's logical size
  // The listed SHA-256 of the content (64 lowercase hex digits), when the
  // placeholder was created or re-pointed with one; empty otherwise (always
  // on Windows, which keeps no hash: there the size alone is checked).
  std::string content_sha256;
  uint32_t pid = 0;              // the process whose access caused the fetch
};

// A completed change (close, delete and rename completions).
struct ChangeInfo {
  ConnectionKey connection = 0;
  std::string identity;               // empty when the item is no placeholder
  std::filesystem::path path;         // full path (the new path of a rename)
  std::filesystem::path source_path;  // rename only: the old full path
  // Windows reports no directory flag with a delete or rename: there a
  // folder is known by its identity ("D:" or "V:") or, for a plain item
  // that still exists, by its attributes.
  bool is_directory = false;
  bool deleted = false;               // close only: the file was deleted on close
  uint32_t pid = 0;                   // the process that caused the change
};

// The callback table. Unset entries are not registered. A fetch-data
// callback must finish its fetch by TransferData calls that cover the
// required range, or one TransferData with a failure status; it may block
// (it runs on a provider thread, never the platform's) and may touch the
// sync root. Both providers ask for the whole file (offset 0, the file's
// size), once per file however many readers or windows wait: Windows asks
// in windows of at most 1 GiB, and the provider answers each window from
// the one fetch as its bytes arrive, and cancels the fetch (IsFetchActive
// turns false) once Windows has cancelled every window that waited.
// Windows accepts a transfer only at a 4 KiB-aligned offset with a length
// that is a multiple of 4 KiB or ends the file (platform/transfer_plan.h).
// The close completion reports a handle that wrote or truncated a file; on
// Windows also a new plain file (no placeholder, which Windows does not
// report) once it has been left alone for 2 seconds, with pid 0 and no
// identity; a file may be reported twice.
struct SyncRootCallbacks {
  std::function<void(const FetchDataInfo&)> fetch_data;
  std::function<void(const ChangeInfo&)> close_completion;
  std::function<void(const ChangeInfo&)> delete_completion;
  std::function<void(const ChangeInfo&)> rename_completion;
  // Linux: renames of folder placeholders that mirror the service are
  // refused to every process; with this set, the connecting process itself
  // may still move them (the agent's layout migration and its following of
  // folders moved on the web). Windows has no such refusal.
  bool own_folder_moves = false;
};

// Connects the registered sync-root folder `root` with `callbacks` and
// stores the connection key in *key. From then on the callbacks may run.
// On Linux this mounts the FUSE filesystem over `root` (detaching first a
// mount left behind by a process that died). Fails with kHrNotUnderSyncRoot
// when the folder was never registered, kHrProviderUnavailable when the
// platform has no Cloud Files API, or an OS error.
Status ConnectSyncRoot(const std::filesystem::path& root,
                       const SyncRootCallbacks& callbacks, ConnectionKey* key);

// Ends the connection: fetches still waiting fail (their TransferData calls
// fail from then on, so a download in progress stops at its next piece),
// callbacks that are running are waited for, no callback runs afterwards.
// On Linux the mount is removed. Fails with kHrInvalidKey for an unknown key.
Status DisconnectSyncRoot(ConnectionKey key);

// True when `name` can name an item of a placeholder batch: exactly one
// plain path component. Refused: empty, ".", "..", any NUL or "/", and on
// Windows also "\\". Thread-safe.
bool IsPlainPlaceholderName(const std::filesystem::path& name);

// Answers a fetch: `length` bytes of `data` at file `offset` with
// `status` == kStatusSuccess, or a failure status for the range
// (`data` is then unused). Fails when the fetch is gone (cancelled, its
// connection ended, or already failed) or the data cannot be stored.
Status TransferData(const TransferKey& key, uint32_t status, const void* data,
                    int64_t offset, int64_t length);

// True while the fetch of `key` can still take transfers: false once it has
// failed or completed, or its connection is ending (DisconnectSyncRoot has
// begun). A download feeding the fetch polls it to stop early. Cheap;
// thread-safe.
bool IsFetchActive(const TransferKey& key);

// Windows file attribute bits used by placeholders (platform/file_attributes.h
// has the full set).
inline constexpr uint32_t kPlaceholderAttributeReadonly = 0x1;
inline constexpr uint32_t kPlaceholderAttributeDirectory = 0x10;
inline constexpr uint32_t kPlaceholderAttributeNormal = 0x80;

// One item of a placeholder batch.
struct PlaceholderItem {
  std::filesystem::path relative_name;  // relative to the batch's base folder
  // Times as Windows FILETIME ticks (100 ns since 1601-01-01 UTC).
  int64_t creation_time = 0;
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
  int64_t change_time = 0;
  uint32_t attributes = kPlaceholderAttributeNormal;  // DIRECTORY makes a folder
  int64_t size = 0;                                   // files only
  std::string identity;                               // at most 4,096 bytes
  // Files only, optional: the listed SHA-256 of the content (64 hex digits).
  // A fetch whose bytes do not match it fails. Linux keeps it with the
  // placeholder (user.zem.sha256); Windows ignores it and checks the size only.
  std::string content_sha256;
  bool mark_in_sync = false;
  Status result;  // out: this item's outcome
};

// Creates every item of `items` in the existing folder `base` (one call for
// the whole batch) and stores each item's outcome in its `result`. An item
// whose name exists already fails and leaves the existing entry alone; an
// item whose name is not one plain component (IsPlainPlaceholderName) fails
// with kHrInvalidArgument and nothing is created for it; file
// placeholders are created without content (it is fetched on first read).
// Returns ok when every item was created, else a failure: the call's own
// result on Windows, the first failing item's result on Linux (or, on both,
// the failure to reach `base`, with every item's result set to it).
Status CreatePlaceholders(const std::filesystem::path& base,
                          std::vector<PlaceholderItem>& items);

// What a placeholder carries.
struct PlaceholderState {
  bool is_placeholder = false;
  bool in_sync = false;
  bool hydrated = false;  // the whole content is on disk (always for folders)
  std::string identity;
  // The size the file shows: the service's size while its content is not on
  // disk, else the size on disk. 0 for folders.
  int64_t logical_size = 0;
};

// An open file or folder for placeholder operations, opened as the Windows
// calls require (OPEN_EXISTING, share read/write/delete, backup semantics,
// the entry itself rather than a reparse target). Not copyable; closes on
// destruction. One object is used by one thread at a time.
class PlaceholderHandle {
 public:
  PlaceholderHandle() = default;
  ~PlaceholderHandle();
  PlaceholderHandle(const PlaceholderHandle&) = delete;
  PlaceholderHandle& operator=(const PlaceholderHandle&) = delete;

  // Opens `path` with read and write access, plus delete access when
  // `delete_access` is set. A failure carries the OS error (GetLastError /
  // errno), which log lines print as "err=<decimal>" (Status::os_error).
  Status Open(const std::filesystem::path& path, bool delete_access);
  bool is_open() const { return native_ != kClosed; }
  void Close();

  // Makes the open item a placeholder with `identity`, in sync when
  // `mark_in_sync`; an existing file keeps its content (it is hydrated).
  // Fails with kHrNotUnderSyncRoot outside a sync root.
  Status ConvertToPlaceholder(std::string_view identity, bool mark_in_sync);

  // Replaces the identity of a placeholder, marking it in sync when
  // `mark_in_sync`. Fails with kHrNotACloudFile when the item is no
  // placeholder.
  Status UpdateIdentity(std::string_view identity, bool mark_in_sync);

  // Sets or clears the in-sync state of a placeholder (kHrNotACloudFile for
  // any other item).
  Status SetInSyncState(bool in_sync);

  // Points a file placeholder at another server file: new `identity`, new
  // logical `size` (and listed `content_sha256`, may be empty), local content
  // dropped (not hydrated), marked in sync; the next read fetches the new
  // content. The size shows at once, also through the kernel's caches.
  // Fails with kHrNotACloudFile for an item that is no placeholder,
  // kHrInvalidArgument for a folder or a negative size, and kHrNotInSync
  // (nothing changed) when the placeholder is not in sync: content written
  // here since it was last in sync is never dropped. Windows:
  // CfUpdatePlaceholder with the new size, the identity and VERIFY_IN_SYNC |
  // MARK_IN_SYNC | DEHYDRATE (the handle should be the only one open); the
  // hash is not kept.
  Status Repoint(std::string_view identity, int64_t size,
                 std::string_view content_sha256 = {});

  // Reads the placeholder state; a plain item gives is_placeholder false.
  Status GetState(PlaceholderState* state);

 private:
  static constexpr intptr_t kClosed = -1;
  intptr_t native_ = kClosed;  // HANDLE on Windows, fd on Linux
  std::filesystem::path path_;  // what Open opened, for the failures' context
};

// The registration mark of a sync root, as `register` writes it.
inline constexpr std::string_view kSyncRootId = "ZemCloudDisk!default!default";

}  // namespace zem::platform

#include "sync/realtime/change_handlers.h"

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>

#include "common/cat.h"
#include "common/output.h"
#include "platform/file_attributes.h"
#include "platform/process.h"
#include "platform/text.h"
#include "sync/placeholder_provider.h"
#include "sync/placeholders.h"
#include "sync/poll/folder_id_map.h"
#include "sync/realtime/upload_queue.h"
#include "sync/state/dirty_cache.h"
#include "sync/state/file_time.h"
#include "sync/state/known_files.h"
#include "sync/virtual_roots.h"

namespace zem {
namespace fs = std::filesystem;
namespace {

std::string Utf8(const fs::path& p) { return platform::PathToUtf8(p); }

// Lock order: g_mu alone; nothing else is called while it is held except
// SetLocalMovePending, which takes only knownFilesLock.
std::mutex g_mu;
fs::path g_root;
std::map<std::string, int> g_holds;  // file id → running or queued tasks
std::set<std::string> g_aside;      // ids renamed to a temporary name

fs::path Root() {
  std::lock_guard lock(g_mu);
  return g_root;
}

bool Ignored(const platform::ChangeInfo& info) {
  return MigrationWindowOpen() || info.pid == platform::CurrentProcessId();
}

// The file id of an "F:" identity, or nothing.
std::optional<std::string> FileIdOf(std::string_view identity) {
  if (identity.size() < 3 || identity[0] != 'F' || identity[1] != ':') return std::nullopt;
  return std::string(identity.substr(2));
}

// The server folder a local directory mirrors: its FolderIdMap entry, else
// the id its folder placeholder carries ("D:" identity; remembered in the
// map). Nothing for a plain folder the service does not know.
std::optional<std::string> FolderIdOfDirectory(const fs::path& dir) {
  if (std::optional<std::string> id = FindFolderId(dir); id && !id->empty()) return id;
  ProviderHandle handle;
  platform::PlaceholderState state;
  if (!handle.Open(dir, /*delete_access=*/false).ok() ||
      !handle.GetState(&state).ok() || state.identity.size() < 3 ||
      state.identity.rfind("D:", 0) != 0) {
    return std::nullopt;
  }
  std::string id = state.identity.substr(2);
  SetFolderId(dir, id);
  return id;
}

void QueueFileMove(const std::string& file_id, const fs::path& source_path, const fs::path& path);

// Ends the "held aside" state of an id renamed to a temporary name.
void EndAside(const std::string& id) {
  bool was_aside;
  {
    std::lock_guard lock(g_mu);
    was_aside = g_aside.erase(id) != 0;
  }
  if (was_aside) ReleaseLocalMove(id);
}

// The close rule for `path`; `renamed_in` for a file that arrived by rename
// (it may be a pending placeholder already, and the dirty-cache entry of its
// path belongs to the file that was there before).
void QueueSavedFile(const fs::path& path, bool renamed_in) {
  if (path.empty()) return;
  const fs::path root = Root();
  if (IsInReadOnlyArea(root, path)) {
    Out(Cat("[NOTIFY-SKIP-READONLY] ", Utf8(path), " (in 共享/团队/公司/回收站 只读区，跳过上传)\n"));
    return;
  }
  uint32_t attributes = 0;
  if (!Placeholders().ReadFileAttributes(path, &attributes).ok()) return;
  if (attributes & (platform::kFileAttributeDirectory | platform::kFileAttributeTemporary)) return;
  if (attributes & platform::kFileAttributeReparsePoint) {
    // A placeholder: only a pending one that arrived by rename goes on.
    if (!renamed_in) return;
    ProviderHandle handle;
    platform::PlaceholderState state;
    if (!handle.Open(path, /*delete_access=*/false).ok() ||
        !handle.GetState(&state).ok() || state.identity.rfind("P:", 0) != 0) {
      return;
    }
  }
  const std::string name = Utf8(path.filename());
  if (!IsRealtimeSyncedName(name)) return;
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size == 0) return;  // empty files are left to the poll cycle
  if (!renamed_in) {
    const int64_t mtime = FileModifiedTime(path);
    if (const auto entry = FindDirtyEntry(path); entry && entry->mtime == mtime) return;
  }
  const std::optional<std::string> folder = FolderIdOfDirectory(path.parent_path());
  if (!folder || folder->empty()) {
    Out(Cat("[RT-SKIP-NOMAP] ", Utf8(path), " (parent folder_id unknown, poll fallback)\n"));
    return;
  }
  MarkPendingPlaceholder(path);  // result not needed: the worker checks again
  UploadTask task;
  task.kind = UploadTaskKind::kUpload;
  task.path = path;
  task.folder_id = platform::Utf8ToWide(*folder);
  if (!Enqueue(std::move(task))) return;  // stopping
  Out(Cat("[RT-ENQ] ", name, " (folder=", *folder, ", queue=", QueueLength(), ")\n"));
}

}  // namespace

void SetRealtimeSyncRoot(const fs::path& root) {
  std::lock_guard lock(g_mu);
  g_root = root;
}

bool IsRealtimeSyncedName(std::string_view name) {
  if (name.empty() || name[0] == '~' || name[0] == '.' || name == "desktop.ini") return false;
  if (name.find('|') != std::string_view::npos) return false;
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string_view ext = name.substr(dot);
    if (ext == ".tmp" || ext == ".crdownload" || ext == ".partial") return false;
  }
  return true;
}

void HoldLocalMove(std::string_view file_id) {
  std::lock_guard lock(g_mu);
  if (++g_holds[std::string(file_id)] == 1) SetLocalMovePending(file_id, true);
}

void ReleaseLocalMove(std::string_view file_id) {
  std::lock_guard lock(g_mu);
  auto it = g_holds.find(std::string(file_id));
  if (it == g_holds.end()) return;
  if (--it->second > 0) return;
  g_holds.erase(it);
  SetLocalMovePending(file_id, false);
}

void OnFileCloseCompletion(const platform::ChangeInfo& info) {
  if (Ignored(info) || info.deleted || info.is_directory) return;
  QueueSavedFile(info.path, /*renamed_in=*/false);
}

void OnDeleteCompletion(const platform::ChangeInfo& info) {
  if (Ignored(info) || info.is_directory) return;
  const std::optional<std::string> id = FileIdOf(info.identity);
  if (!id) return;  // pending, folder, virtual-root, shared and recycled items
  if (IsInReadOnlyArea(Root(), info.path)) return;
  EndAside(*id);
  HoldLocalMove(*id);
  UploadTask task;
  task.kind = UploadTaskKind::kRecycle;
  task.file_id = *id;
  task.path = info.path;
  if (!Enqueue(std::move(task))) {
    ReleaseLocalMove(*id);
    return;
  }
  Out(Cat("[RT-ENQ-DEL] file_id=", *id, "\n"));
}

void OnRenameCompletion(const platform::ChangeInfo& info) {
  if (Ignored(info) || info.is_directory || info.path.empty()) return;
  const fs::path root = Root();
  if (IsInReadOnlyArea(root, info.path) ||
      (!info.source_path.empty() && IsInReadOnlyArea(root, info.source_path))) {
    return;
  }
  const std::optional<std::string> id = FileIdOf(info.identity);
  if (!id) {
    // A plain or pending file under a new name (an editor's temporary file
    // renamed over the document, say): upload it as a saved file.
    QueueSavedFile(info.path, /*renamed_in=*/true);
    return;
  }
  QueueFileMove(*id, info.source_path, info.path);
}

void QueueMissedFileMove(const std::string& id, const fs::path& from, const fs::path& to) {
  Out(Cat("[MOVE-FOUND] ", Utf8(from), " → ", Utf8(to), " (file_id=", id,
          "; moved while no notification reached the agent)\n"));
  QueueFileMove(id, from, to);
}

namespace {

void QueueFileMove(const std::string& file_id, const fs::path& source_path, const fs::path& path) {
  const std::string name = Utf8(path.filename());
  if (name.empty()) return;
  EndAside(file_id);
  const bool same_folder = source_path.parent_path() == path.parent_path();
  if (same_folder && !IsRealtimeSyncedName(name)) {
    // Renamed away to a temporary name (an editor's save in progress): the
    // service keeps the file under its old name; a delete recycles it, a
    // rename back renames it.
    {
      std::lock_guard lock(g_mu);
      g_aside.insert(file_id);
    }
    HoldLocalMove(file_id);
    AddKnownFile(file_id, path);
    MoveDirtyEntry(source_path, path);
    Out(Cat("[RT-RENAME-ASIDE] ", Utf8(source_path), " → ", Utf8(path),
            " (temporary name; the service keeps id=", file_id, " as it is)\n"));
    return;
  }
  UploadTask task;
  task.file_id = file_id;
  task.path = path;
  task.old_path = source_path;
  if (same_folder) {
    task.kind = UploadTaskKind::kRename;
    task.new_name = platform::Utf8ToWide(name);
  } else {
    const std::optional<std::string> folder = FolderIdOfDirectory(path.parent_path());
    if (!folder || folder->empty() || !IsRealtimeSyncedName(name)) {
      // Moved where the service has no folder (one the user made here): the
      // service keeps its copy where it was. Remember where the file is, so
      // the poll cycle neither takes it for deleted (and recycles it) nor
      // moves it back.
      HoldLocalMove(file_id);
      AddKnownFile(file_id, path);
      MoveDirtyEntry(source_path, path);
      Out(Cat("[RT-SKIP-NOMAP] ", Utf8(path), " (parent folder_id unknown, poll fallback)\n"));
      QueueLocalCopy(file_id, path);
      return;
    }
    task.kind = UploadTaskKind::kMove;
    task.folder_id = platform::Utf8ToWide(*folder);
  }
  HoldLocalMove(file_id);
  AddKnownFile(file_id, path);
  const UploadTaskKind kind = task.kind;
  if (!Enqueue(std::move(task))) {
    ReleaseLocalMove(file_id);
    return;
  }
  if (kind == UploadTaskKind::kRename) {
    Out(Cat("[RT-ENQ-RENAME] file_id=", file_id, " newName=", name, "\n"));
  } else {
    Out(Cat("[RT-ENQ-MOVE] file_id=", file_id, " to ", Utf8(path), "\n"));
  }
}

}  // namespace

void QueueLocalCopy(const std::string& file_id, const fs::path& path) {
  HoldLocalMove(file_id);
  UploadTask task;
  task.kind = UploadTaskKind::kLocalCopy;
  task.file_id = file_id;
  task.path = path;
  if (!Enqueue(std::move(task))) {
    ReleaseLocalMove(file_id);
    return;
  }
  Out(Cat("[RT-ENQ-LOCAL-COPY] file_id=", file_id, " ", Utf8(path), "\n"));
}

ChangeHandlers RealtimeChangeHandlers() {
  ChangeHandlers h;
  h.on_close = OnFileCloseCompletion;
  h.on_delete = OnDeleteCompletion;
  h.on_rename = OnRenameCompletion;
  return h;
}

void ResetChangeHandlersForTest() {
  std::lock_guard lock(g_mu);
  g_root.clear();
  g_holds.clear();
  g_aside.clear();
}

}  // namespace zem

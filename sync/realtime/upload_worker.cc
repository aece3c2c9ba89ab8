#include "sync/realtime/upload_worker.h"

#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "client/listing.h"
#include "client/retry.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/cloud_files.h"
#include "platform/text.h"
#include "sync/placeholder_provider.h"
#include "sync/placeholders.h"
#include "sync/realtime/change_handlers.h"
#include "sync/service_api.h"
#include "sync/state/agent_status.h"
#include "sync/state/dirty_cache.h"
#include "sync/state/file_time.h"
#include "sync/state/known_files.h"
#include "sync/state/progress_entries.h"
#include "sync/state/recent_transfers.h"
#include "sync/state/upload_claims.h"
#include "sync/uploaded_file.h"

namespace zem {
namespace fs = std::filesystem;
namespace {

std::string Utf8(const fs::path& p) { return platform::PathToUtf8(p); }
std::string Wide8(std::u16string_view s) { return platform::WideToUtf8(s); }

// What the file at `path` is right now.
struct LocalFileState {
  bool exists = false;
  bool regular = false;
  std::string identity;  // empty for a plain file
};

LocalFileState Inspect(const fs::path& path) {
  LocalFileState s;
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(path, ec);
  if (ec || !fs::exists(st)) return s;
  s.exists = true;
  s.regular = fs::is_regular_file(st);
  if (!s.regular) return s;
  ProviderHandle handle;
  platform::PlaceholderState state;
  if (handle.Open(path, /*delete_access=*/false).ok() &&
      handle.GetState(&state).ok() && state.is_placeholder) {
    s.identity = state.identity;
  }
  return s;
}

bool IsHexEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || a.empty()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The id of a file named `name` with content `sha256` in folder
// `folder_id` on the service, when the listing shows one.
std::string FindUploadedCopy(std::u16string_view folder_id, std::u16string_view name,
                             std::string_view sha256) {
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  try {
    if (!Service().ListFolder(Utf8(folder_id), folders, files)) return {};
  } catch (const std::out_of_range&) {
    return {};
  }
  for (const FileEntry& f : files) {
    if (f.name == name && IsHexEqual(f.sha256, sha256)) return f.id;
  }
  return {};
}

// True when the service's recycle bin holds `file_id` (a recycle that went
// through before the agent stopped).
bool InRecycleBin(std::string_view file_id) {
  std::vector<FileEntry> entries;
  try {
    if (!Service().ListRecycleBin(entries)) return false;
  } catch (const std::out_of_range&) {
    return false;
  }
  for (const FileEntry& e : entries) {
    if (e.id == file_id) return true;
  }
  return false;
}

void SaveState() {
  SaveKnownFiles();
  SaveDirtyCache();
}

bool RunUpload(const UploadTask& t) {
  const std::u16string name = t.path.filename().u16string();
  const std::string name8 = Wide8(name);
  const LocalFileState local = Inspect(t.path);
  if (!local.exists || !local.regular) {
    Out(Cat("[RT-UPLOAD-SKIP] ", name8, " (no longer there)\n"));
    return true;
  }
  if (!local.identity.empty() && local.identity.rfind("P:", 0) != 0) {
    // Uploaded already (before a crash, or by the poll cycle), or no file of
    // the documents tree at all.
    Out(Cat("[RT-UPLOAD-SKIP] ", name8, " (already ", local.identity, ")\n"));
    return true;
  }
  UploadClaim claim(t.path);
  if (!claim.claimed()) {
    Out(Cat("[RT-UPLOAD-SKIP] ", name8, " (another upload of it is running)\n"));
    return true;
  }
  const int64_t mtime_before = FileWriteTicks(t.path);
  std::string hash;
  if (t.recovered) {
    // The agent stopped while this task was queued or running: the service
    // may hold the upload already.
    hash = Sha256File(t.path);
    const std::string id = hash.empty() ? "" : FindUploadedCopy(t.folder_id, name, hash);
    if (!id.empty() && AdoptUploadedFile(t.path, id, mtime_before, hash)) {
      SaveState();
      Out(Cat("[RT-UPLOAD-OK] ", name8, " → file_id=", id, " (already on the service)\n"));
      return true;
    }
  }
  Out(Cat("[RT-UPLOAD] ", name8, " to folder=", Wide8(t.folder_id), "\n"));
  ReportTransferProgress(t.seq, name, 0, 0, TransferStatus::kActive);
  std::string file_id;
  const bool uploaded = WithRetry("rt-upload", [&] {
    return Service().UploadSimple(t.path, t.folder_id, file_id,
                        [&](uint64_t sent, uint64_t total) {
                          ReportTransferProgress(t.seq, name, sent, total,
                                                 TransferStatus::kActive);
                        });
  });
  if (!uploaded) {
    // The file stays a pending placeholder; the poll cycle tries it again.
    Err(Cat("[RT-UPLOAD-ERR] ", name8, "\n"));
    ReportFailure(Cat("upload of ", Utf8(t.path), " failed; it is tried again later"));
    ReportTransferProgress(t.seq, name, 0, 0, TransferStatus::kFailed);
    RecordRecentTransfer(name, TransferStatus::kFailed);
    ShowTrayBalloon(u"上传失败", name, /*is_error=*/true);
    return false;
  }
  // Hashed only when unchanged since the upload began: the hash then
  // describes what the service holds.
  if (FileWriteTicks(t.path) != mtime_before) {
    hash.clear();
  } else if (hash.empty()) {
    hash = Sha256File(t.path);
  }
  if (!AdoptUploadedFile(t.path, file_id, mtime_before, hash)) {
    Err("[RT-UPLOAD-WARN] convert failed; DiffDir will rescan\n");
    ReportTransferProgress(t.seq, name, 0, 0, TransferStatus::kFailed);
    return true;
  }
  SaveState();
  Out(Cat("[RT-UPLOAD-OK] ", name8, " → file_id=", file_id, "\n"));
  ReportTransferProgress(t.seq, name, 1, 1, TransferStatus::kDone);
  RecordRecentTransfer(name, TransferStatus::kDone);
  ShowTrayBalloon(u"上传完成", name, /*is_error=*/false);
  return true;
}

bool RunRecycle(const UploadTask& t) {
  Out(Cat("[RT-RECYCLE] file_id=", t.file_id, "\n"));
  const bool ok = (t.recovered && InRecycleBin(t.file_id)) ||
                  WithRetry("rt-recycle", [&] { return Service().RecycleFile(t.file_id); });
  if (ok) {
    ForgetKnownFile(t.file_id);
    if (!t.path.empty()) EraseDirtyEntry(t.path);
    SaveState();
    Out(Cat("[RT-RECYCLE-OK] ", t.file_id, "\n"));
  }
  return ok;
}

bool RunRename(const UploadTask& t) {
  Out(Cat("[RENAME] id=", t.file_id, " newName=", Wide8(t.new_name), "\n"));
  const bool ok =
      WithRetry("rt-rename", [&] { return Service().RenameFile(t.file_id, t.new_name); });
  if (!ok) {
    Err(Cat("[RENAME-ERR] HTTP rename failed for id=", t.file_id, "\n"));
    ReportFailure(Cat("rename to ", Utf8(t.path), " did not reach the service"));
    return false;
  }
  if (!t.old_path.empty() && !t.path.empty()) {
    Out(Cat("[RENAME-OK] ", Utf8(t.old_path), " → ", Utf8(t.path), "\n"));
    MoveDirtyEntry(t.old_path, t.path);
    RememberAdoption(t.path);  // a listing taken before shows the old name
  } else {
    Out(Cat("[RENAME-OK] id=", t.file_id, " → ", Wide8(t.new_name), "\n"));
  }
  SaveState();
  return true;
}

// A file placeholder moved into another synced folder: the service has no
// move, so the file is uploaded into the new folder, then the old copy is
// recycled and the placeholder takes the new id. Nothing is recycled before
// the new copy exists.
bool RunMove(const UploadTask& t) {
  const std::u16string name = t.path.filename().u16string();
  const std::string name8 = Wide8(name);
  Out(Cat("[RT-MOVE] id=", t.file_id, " ", name8, " to folder=", Wide8(t.folder_id), "\n"));
  const LocalFileState local = Inspect(t.path);
  if (!local.exists || !local.regular) {
    Out(Cat("[RT-MOVE-SKIP] ", name8, " (no longer there)\n"));
    return true;
  }
  if (local.identity != "F:" + t.file_id) {
    Out(Cat("[RT-MOVE-SKIP] ", name8, " (now ", local.identity.empty() ? "plain" : local.identity,
            ")\n"));
    return true;
  }
  UploadClaim claim(t.path);
  if (!claim.claimed()) {
    Out(Cat("[RT-MOVE-SKIP] ", name8, " (another upload of it is running)\n"));
    return true;
  }
  const int64_t mtime_before = FileWriteTicks(t.path);
  // Reading the whole file fetches content that is not local yet.
  const std::string hash = Sha256File(t.path);
  if (hash.empty()) {
    Err(Cat("[RT-MOVE-ERR] ", name8, " cannot be read; id=", t.file_id,
            " stays in its old folder\n"));
    return false;
  }
  std::string new_id = t.recovered ? FindUploadedCopy(t.folder_id, name, hash) : std::string();
  if (new_id.empty()) {
    ReportTransferProgress(t.seq, name, 0, 0, TransferStatus::kActive);
    const bool uploaded = WithRetry("rt-move-upload", [&] {
      return Service().UploadSimple(t.path, t.folder_id, new_id,
                                    [&](uint64_t sent, uint64_t total) {
                                      ReportTransferProgress(t.seq, name, sent, total,
                                                             TransferStatus::kActive);
                                    });
    });
    if (!uploaded) {
      ReportFailure(Cat("move of ", Utf8(t.path), " did not reach the service"));
      Err(Cat("[RT-MOVE-ERR] upload of ", name8, " failed; id=", t.file_id,
              " stays in its old folder\n"));
      ReportTransferProgress(t.seq, name, 0, 0, TransferStatus::kFailed);
      RecordRecentTransfer(name, TransferStatus::kFailed);
      return false;
    }
  }
  const bool recycled =
      (t.recovered && InRecycleBin(t.file_id)) ||
      WithRetry("rt-move-recycle", [&] { return Service().RecycleFile(t.file_id); });
  if (!recycled) {
    Err(Cat("[RT-MOVE-WARN] old copy id=", t.file_id, " could not be recycled\n"));
  }
  if (!AdoptUploadedFile(t.path, new_id, mtime_before, hash)) {
    Err("[RT-UPLOAD-WARN] convert failed; DiffDir will rescan\n");
  }
  // Still known when the recycle failed: the poll cycle then treats the old
  // copy as locally deleted.
  if (recycled) ForgetKnownFile(t.file_id);
  if (!t.old_path.empty()) EraseDirtyEntry(t.old_path);
  SaveState();
  Out(Cat("[RT-MOVE-OK] ", Utf8(t.old_path), " → ", Utf8(t.path), " (file_id=", new_id,
          ", old id=", t.file_id, recycled ? " recycled)\n" : " kept)\n"));
  ReportTransferProgress(t.seq, name, 1, 1, TransferStatus::kDone);
  RecordRecentTransfer(name, TransferStatus::kDone);
  return true;
}

// A file placeholder moved into a folder the service does not have: read
// whole (which fetches what is not local yet), then taken out of sync, so it
// is the user's own copy from now on.
bool RunLocalCopy(const UploadTask& t) {
  const LocalFileState local = Inspect(t.path);
  if (!local.exists || !local.regular || local.identity != "F:" + t.file_id) {
    Out(Cat("[RT-LOCAL-COPY-SKIP] ", Utf8(t.path), " (no longer that file)\n"));
    return true;
  }
  if (Sha256File(t.path).empty()) {
    Err(Cat("[RT-LOCAL-COPY-ERR] ", Utf8(t.path), ": its content could not be fetched (id=",
            t.file_id, ")\n"));
    ReportFailure(Cat("the content of ", Utf8(t.path), " could not be fetched"));
    return false;
  }
  ProviderHandle handle;
  if (!handle.Open(t.path, /*delete_access=*/false).ok() ||
      !handle.SetInSyncState(false).ok()) {
    Err(Cat("[RT-LOCAL-COPY-ERR] ", Utf8(t.path), ": cannot be taken out of sync\n"));
    return false;
  }
  Out(Cat("[RT-LOCAL-COPY] ", Utf8(t.path), " is kept as a local copy; the service keeps id=",
          t.file_id, " where it was\n"));
  return true;
}

std::mutex g_workers_mu;  // guards g_workers (start-up and shutdown only)
std::vector<std::thread> g_workers;

}  // namespace

bool RunUploadTask(const UploadTask& task) {
  bool ok = true;
  switch (task.kind) {
    case UploadTaskKind::kUpload: ok = RunUpload(task); break;
    case UploadTaskKind::kRecycle: ok = RunRecycle(task); break;
    case UploadTaskKind::kRename: ok = RunRename(task); break;
    case UploadTaskKind::kMove: ok = RunMove(task); break;
    case UploadTaskKind::kLocalCopy: ok = RunLocalCopy(task); break;
  }
  return ok;
}

void UploadWorker() {
  UploadQueue& queue = AgentUploadQueue();
  while (std::optional<UploadTask> task = queue.TakeNext()) {
    bool ok = false;
    try {
      ok = RunUploadTask(*task);
    } catch (const std::exception& e) {
      Err(Cat("[RT-WORKER-EXC] ", e.what(), "\n"));
    }
    if (!task->file_id.empty()) ReleaseLocalMove(task->file_id);
    if (ok) {
      // The change is dealt with: the folders it touched are in sync again.
      if (!task->path.empty()) MarkFoldersInSync(task->path.parent_path());
      if (!task->old_path.empty()) MarkFoldersInSync(task->old_path.parent_path());
    }
    queue.FinishTask(task->seq);
    // A service that fails during a stop would hold the agent for the
    // retry waits of every remaining task: leave them for the next start.
    if (!ok && queue.stopping()) queue.EndDrain();
  }
}

void LoadUploadQueue(const std::filesystem::path& file) {
  LoadQueue(file);
  for (const UploadTask& t : AgentUploadQueue().Snapshot()) {
    if (!t.file_id.empty()) HoldLocalMove(t.file_id);
  }
}

void StartUploadWorkers(size_t count) {
  std::lock_guard lock(g_workers_mu);
  for (size_t i = 0; i < count; ++i) g_workers.emplace_back(UploadWorker);
}

uint64_t StopUploadWorkers(std::chrono::steady_clock::duration drain_limit) {
  StopQueue(drain_limit);
  std::lock_guard lock(g_workers_mu);
  for (std::thread& t : g_workers) t.join();
  g_workers.clear();
  return QueueLength();
}

}  // namespace zem

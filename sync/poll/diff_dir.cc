#include "sync/poll/diff_dir.h"

#include <cctype>
#include <chrono>
#include <exception>
#include <map>
#include <set>
#include <system_error>

#include "client/retry.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/cloud_files.h"
#include "platform/file_attributes.h"
#include "platform/text.h"
#include "sync/identity.h"
#include "sync/placeholder_provider.h"
#include "sync/placeholders.h"
#include "sync/poll/folder_id_map.h"
#include "sync/poll/local_scan.h"
#include "sync/realtime/change_handlers.h"
#include "sync/service_api.h"
#include "sync/state/agent_status.h"
#include "sync/state/dirty_cache.h"
#include "sync/state/file_time.h"
#include "sync/state/known_files.h"
#include "sync/state/upload_claims.h"
#include "sync/uploaded_file.h"

namespace zem {
namespace fs = std::filesystem;
namespace {

using platform::PathFromUtf8;
using platform::PathToUtf8;

// A file written less than this long ago may still be open for writing; it
// waits for the next cycle (its close notification queues it anyway).
constexpr int64_t kSettleSeconds = 2;

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool ListWithRetry(const std::string& folder_id, ServerFolder* out) {
  return WithRetry("folder-list", [&] {
    out->folders.clear();
    out->files.clear();
    try {
      return Service().ListFolder(folder_id, out->folders, out->files);
    } catch (const std::exception& e) {
      Err(Cat("[LIST-ERR] folder ", folder_id, ": ", e.what(), "\n"));
      return false;
    }
  });
}

bool IsSkippedUploadName(const std::string& name) {
  return name.empty() || name[0] == '~' || name == "desktop.ini";
}

// A placeholder whose id the agent still knows, but which is gone, is taken
// for a deletion by the user and recycled. So ids are forgotten, and that is
// saved, before their placeholders are removed: a crash in between leaves a
// placeholder the agent does not know (the next cycle deals with it), never
// a known id without its placeholder.
void RemoveForgottenFile(const fs::path& path, const std::string& id) {
  std::error_code ec;
  fs::remove(path, ec);
  if (ec) {
    AddKnownFile(id, path);  // still there: still known
    return;
  }
  EraseDirtyEntry(path);
}

void RemoveMirroredFile(const fs::path& path, const std::string& id) {
  ForgetKnownFile(id);
  SaveKnownFiles();
  RemoveForgottenFile(path, id);
}

bool IsRemovableMirror(const LocalEntry& e) {
  return e.kind() == 'F' && !e.is_directory && !e.changed_locally() &&
         !IsLocalMovePending(e.server_id());
}

// Forgets the ids of the removable file placeholders below `dir`.
void ForgetMirroredFiles(const fs::path& dir, int depth = 0) {
  LocalFolder entries;
  std::string error;
  if (depth > 64 || !ScanLocalFolder(dir, &entries, &error)) return;
  for (const auto& [name, e] : entries) {
    if (IsRemovableMirror(e)) {
      ForgetKnownFile(e.server_id());
    } else if (e.kind() == 'D' && e.is_directory) {
      ForgetMirroredFiles(e.path, depth + 1);
    }
  }
}

// Removes what mirrors the service below `dir` (in-sync file and folder
// placeholders, their ids forgotten first) and returns how many items were
// kept.
int RemoveForgottenTree(const fs::path& dir) {
  LocalFolder entries;
  std::string error;
  if (!ScanLocalFolder(dir, &entries, &error)) return 1;
  int kept = 0;
  for (const auto& [name, e] : entries) {
    if (IsRemovableMirror(e)) {
      RemoveForgottenFile(e.path, e.server_id());
      std::error_code ec;
      if (fs::exists(e.path, ec)) ++kept;
    } else if (e.kind() == 'D' && e.is_directory) {
      kept += RemoveForgottenTree(e.path);
    } else {
      // Changed since its id was forgotten: it stays, and is known again.
      if (e.kind() == 'F' && !e.is_directory) AddKnownFile(e.server_id(), e.path);
      ++kept;
    }
  }
  if (kept == 0) {
    std::error_code ec;
    fs::remove(dir, ec);
    if (ec) ++kept;
  }
  return kept;
}

int RemoveMirroredTree(const fs::path& dir) {
  ForgetMirroredFiles(dir);
  SaveKnownFiles();
  return RemoveForgottenTree(dir);
}

// One folder's reconciliation; the members are its working sets.
class FolderPass {
 public:
  FolderPass(const fs::path& dir, const std::string& folder_id, PollCounters* counters)
      : dir_(dir), folder_id_(folder_id), counters_(counters) {}

  void Run() {
    listed_at_ = std::chrono::steady_clock::now();
    if (!ListWithRetry(folder_id_, &server_)) {  // this subtree waits for the next cycle
      ReportFailure(Cat("listing ", DirText(), " on the service failed; it is tried again next cycle"));
      counters_->incomplete = true;
      return;
    }
    ++counters_->folders_listed;
    IndexListing();
    if (!Scan()) return;
    if (FollowServerMoves() && !Scan()) return;
    FollowMissedLocalMoves();
    UploadNewLocalFiles();
    ReconcileFilePlaceholders();
    NoteUserDeletions();
    CreateServerItems();
    RecordKnownFiles();
    RemoveItemsGoneFromServer();
    Descend();
  }

 private:
  fs::path Child(const std::string& name) const { return dir_ / PathFromUtf8(name); }
  std::string DirText() const { return PathToUtf8(dir_); }

  void IndexListing() {
    for (const auto& g : server_.folders) {
      folder_names_.insert(platform::WideToUtf8(g.name));
      counters_->listed_folder_ids.insert(g.id);
    }
    for (const auto& f : server_.files) {
      file_by_name_[platform::WideToUtf8(f.name)] = &f;  // the later one wins
      listed_ids_[f.id] = &f;
      counters_->listed_file_ids.insert(f.id);
    }
  }

  bool Scan() {
    std::string error;
    if (!ScanLocalFolder(dir_, &local_, &error)) {
      Err(Cat("[SCAN-ERR] ", DirText(), ": ", error, " (folder skipped this cycle)\n"));
      ReportFailure(Cat("reading ", DirText(), " failed: ", error));
      counters_->incomplete = true;
      return false;
    }
    for (const auto& [name, e] : local_) {
      if (!e.is_directory && e.kind() == 'F') counters_->local_file_ids.insert(e.server_id());
    }
    return true;
  }

  // A file placeholder that is not where the agent last placed it, while
  // nothing is there any more, was moved or renamed by the user when no
  // notification reached the agent (it was not running, or starting). It is
  // queued as the rename handler would have queued it: taking it for a
  // deletion in one folder and for an item gone from the service in the
  // other would lose it.
  void FollowMissedLocalMoves() {
    for (const auto& [name, e] : local_) {
      if (e.is_directory || e.kind() != 'F') continue;
      const std::string id = e.server_id();
      if (IsLocalMovePending(id)) continue;
      const fs::path known = KnownFilePath(id);
      if (known.empty() || known == e.path) continue;
      if (LocalEntry there; ReadLocalEntry(known, &there) && there.kind() == 'F' &&
                            there.server_id() == id) {
        continue;  // a second placeholder of one file: not a move
      }
      QueueMissedFileMove(id, known, e.path);
    }
  }

  bool NameTaken(const std::string& name) const {
    return local_.count(name) || file_by_name_.count(name) || folder_names_.count(name);
  }

  // Items renamed or moved on the service keep their id: their placeholder
  // is moved to the listed name instead of being taken for a local delete.
  bool FollowServerMoves() {
    bool moved = false;
    std::set<std::string> taken;  // names moved into by this loop
    for (const auto& f : server_.files) {
      const std::string name = platform::WideToUtf8(f.name);
      if (local_.count(name) || taken.count(name) || IsLocalMovePending(f.id)) continue;
      const fs::path from = KnownFilePath(f.id);
      const fs::path to = Child(name);
      LocalEntry e;
      if (from.empty() || from == to || !ReadLocalEntry(from, &e) || e.is_directory ||
          e.kind() != 'F' || e.server_id() != f.id || !InMirroredFolder(from)) {
        continue;
      }
      // Renamed by the agent after this listing: the listing shows the old name.
      if (AdoptedSince(from, listed_at_)) continue;
      taken.insert(name);
      moved |= MoveLocal(from, to, [&] {
        AddKnownFile(f.id, to);
        MoveDirtyEntry(from, to);
      });
    }
    for (const auto& g : server_.folders) {
      const std::string name = platform::WideToUtf8(g.name);
      if (local_.count(name) || taken.count(name)) continue;
      const fs::path from = FindFolderPath(g.id);
      const fs::path to = Child(name);
      LocalEntry e;
      if (from.empty() || from == to || !ReadLocalEntry(from, &e) || !e.is_directory ||
          e.kind() != 'D' || e.server_id() != g.id) {
        continue;
      }
      const auto rel = to.lexically_relative(from);
      if (!rel.empty() && *rel.begin() != "..") continue;  // into itself: impossible
      taken.insert(name);
      moved |= MoveLocal(from, to, [&] {
        ForgetFolderTree(from);
        MoveKnownFilesUnder(from, to);
      });
    }
    return moved;
  }

  // The agent places files only in folders that mirror the service; a file
  // in a folder of the user's own was put there by the user, and stays.
  static bool InMirroredFolder(const fs::path& file) {
    if (std::optional<std::string> id = FindFolderId(file.parent_path()); id && !id->empty()) {
      return true;
    }
    LocalEntry parent;
    return ReadLocalEntry(file.parent_path(), &parent) &&
           (parent.kind() == 'D' || parent.kind() == 'V');
  }

  template <typename After>
  bool MoveLocal(const fs::path& from, const fs::path& to, After after) {
    // A rename replaces what has the new name: something created there since
    // the folder was read is left alone, and the move waits.
    std::error_code exists_ec;
    if (fs::exists(fs::symlink_status(to, exists_ec))) return false;
    const std::error_code ec = Placeholders().Rename(from, to);
    if (ec) {
      Err(Cat("[SVR-MOVE-ERR] ", PathToUtf8(from), " -> ", PathToUtf8(to), ": ", ec.message(),
              "\n"));
      return false;
    }
    Out(Cat("[SVR-MOVE] ", PathToUtf8(from), " -> ", PathToUtf8(to), "\n"));
    after();
    return true;
  }

  // Plain files and pending placeholders go up; one the service already
  // holds (same name, same content) is adopted instead of uploaded twice.
  void UploadNewLocalFiles() {
    const int64_t now = NowSeconds();
    std::vector<std::string> names;
    for (const auto& [name, e] : local_) {
      const bool plain = (e.attributes & platform::kFileAttributeReparsePoint) == 0;
      if (e.is_directory || !(plain || e.kind() == 'P') || IsSkippedUploadName(name)) continue;
      if (e.mtime > now - kSettleSeconds) continue;
      names.push_back(name);
    }
    for (std::string name : names) {
      fs::path path = local_[name].path;
      UploadClaim claim(path);
      if (!claim.claimed() || folder_names_.count(name)) continue;
      // Uploaded by a worker since the scan: the claim was free again.
      if (LocalEntry now; !ReadLocalEntry(path, &now) || (now.is_placeholder && now.kind() != 'P')) {
        continue;
      }
      if (auto it = file_by_name_.find(name); it != file_by_name_.end()) {
        const FileEntry& f = *it->second;
        const std::string hash = HashFile(path);
        if (hash.empty()) continue;
        if (SameDigest(hash, f.sha256)) {
          if (AdoptUploadedFile(path, f.id, FileWriteTicks(path), hash)) {
            Out(Cat("[UPLOAD-ADOPT] ", name, " is on the service already → file_id=", f.id, "\n"));
            handled_.insert(name);
          }
          continue;
        }
        if (!MoveToConflictName(name, &path, &name)) continue;
      }
      std::string id;
      if (UploadNew(path, name, "upload", &id)) {
        Out(Cat("[UPLOAD-OK] ", name, " → file_id=", id, "\n"));
      }
    }
  }

  // Renames the local file `name` to a free conflict-copy name; the listed
  // file of that name then shows up as new and is created beside it.
  bool MoveToConflictName(const std::string& name, fs::path* path, std::string* new_name) {
    const std::string copy = ConflictCopyName(name, [&](const std::string& n) { return NameTaken(n); });
    const fs::path to = Child(copy);
    const std::error_code ec = Placeholders().Rename(*path, to);
    if (ec) {
      Err(Cat("[CONFLICT-ERR] ", PathToUtf8(*path), " -> ", copy, ": ", ec.message(), "\n"));
      return false;
    }
    Out(Cat("[CONFLICT] ", name, " in ", DirText(),
            " differs from the service's file of that name; the local version is kept as ", copy,
            " and uploaded\n"));
    MoveDirtyEntry(*path, to);
    local_[copy] = local_[name];
    local_[copy].path = to;
    local_.erase(name);
    *path = to;
    *new_name = copy;
    return true;
  }

  // Uploads `path` as a new file of this folder and makes it its placeholder.
  bool UploadNew(const fs::path& path, const std::string& name, std::string_view label,
                 std::string* id) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    Out(Cat("[UPLOAD] ", name, " (size=", ec ? UINT64_MAX : static_cast<uint64_t>(size),
            ") to folder=", folder_id_, "\n"));
    MarkPendingPlaceholder(path);
    const int64_t ticks = FileWriteTicks(path);
    const std::u16string folder = platform::Utf8ToWide(folder_id_);
    ++counters_->uploads;
    if (!WithRetry(label, [&] { return Service().UploadSimple(path, folder, *id, nullptr); })) {
      ReportFailure(Cat("upload of ", PathToUtf8(path), " failed; it is tried again next cycle"));
      return false;
    }
    handled_.insert(name);
    if (!AdoptUploadedFile(path, *id, ticks, "")) {
      Err("[UPLOAD-WARN] uploaded but convert failed; will rescan next round\n");
      return false;
    }
    return true;
  }

  std::string HashFile(const fs::path& path) {
    ++counters_->files_hashed;
    return Sha256File(path);
  }

  static bool SameDigest(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(a[i])) !=
          std::tolower(static_cast<unsigned char>(b[i]))) {
        return false;
      }
    }
    return true;
  }

  // File placeholders: local edits go up, new versions on the service come
  // down, and an edit whose server file is gone is kept as a new file.
  void ReconcileFilePlaceholders() {
    std::vector<std::string> names;
    for (const auto& [name, e] : local_) {
      if (!e.is_directory && e.kind() == 'F') names.push_back(name);
    }
    for (const std::string& name : names) {
      LocalEntry e = local_[name];
      const std::string id = e.server_id();
      auto it = file_by_name_.find(name);
      const FileEntry* f = it == file_by_name_.end() ? nullptr : it->second;
      if (f && f->id == id) ClearStaleInSyncMark(&e, name, *f);
      if (e.changed_locally() && AdoptSameContent(e, name)) continue;
      if (f && f->id == id) {
        if (e.changed_locally()) UploadEdit(e, name, *f);
        continue;
      }
      if (IsLocalMovePending(id)) continue;
      if (auto listed = listed_ids_.find(id); listed != listed_ids_.end()) {
        // Listed under a name that is taken here, so the rename could not be
        // followed. An unchanged file waits until the name is free; an edit
        // made here still goes up: as a new version under the local name, or
        // as a conflict copy (below) when the service lists another file
        // under that name.
        if (!e.changed_locally()) continue;
        if (!f) {
          UploadEdit(e, name, *listed->second);
          continue;
        }
      }
      if (f) {
        if (!e.changed_locally()) {
          if (RepointFilePlaceholder(e.path, f->id, f->size, f->sha256)) {
            Out(Cat("[SVR-NEWVER] ", name, " in ", DirText(), " → file_id=", f->id, " (was ", id,
                    ")\n"));
            ForgetKnownFile(id);
            AddKnownFile(f->id, e.path);
            EraseDirtyEntry(e.path);
            handled_.insert(name);
          }
          continue;
        }
        fs::path path = e.path;
        std::string copy;
        UploadClaim claim(path);
        if (!claim.claimed() || !MoveToConflictName(name, &path, &copy)) continue;
        ForgetKnownFile(id);
        std::string new_id;
        if (UploadNew(path, copy, "upload", &new_id)) {
          Out(Cat("[UPLOAD-OK] ", copy, " → file_id=", new_id, "\n"));
        }
        continue;
      }
      if (e.changed_locally()) {
        UploadClaim claim(e.path);
        if (!claim.claimed()) continue;
        Out(Cat("[KEEP-EDIT] ", name, " in ", DirText(),
                " was changed here but the service no longer has it; uploading it as a new file\n"));
        std::string new_id;
        if (UploadNew(e.path, name, "upload", &new_id)) {
          ForgetKnownFile(id);
          AddKnownFile(new_id, e.path);
          Out(Cat("[UPLOAD-OK] ", name, " → file_id=", new_id, "\n"));
        }
      }
    }
  }

  // A hydrated placeholder marked in sync whose size differs from its listed
  // file's cannot hold that file: the mark outlived a write (an agent killed
  // between marking a file and reading its write time again). The content is
  // the user's: the mark is cleared so that it goes up as an edit.
  void ClearStaleInSyncMark(LocalEntry* e, const std::string& name, const FileEntry& f) {
    if (!e->state.in_sync || !e->state.hydrated || e->state.logical_size == f.size) return;
    ProviderHandle handle;
    if (!handle.Open(e->path, /*delete_access=*/false).ok() ||
        !handle.SetInSyncState(false).ok()) {
      return;
    }
    Out(Cat("[INSYNC-STALE] ", name, " in ", DirText(), " is marked in sync but holds ",
            e->state.logical_size, " bytes where file_id=", f.id, " has ", f.size,
            "; its content goes up\n"));
    e->state.in_sync = false;
  }

  // The hash of a local file, from DirtyCache while its last-write time is
  // the one hashed; "" when it cannot be read.
  std::string LocalHash(const LocalEntry& e) {
    if (auto cached = FindDirtyEntry(e.path); cached && cached->mtime == e.mtime &&
                                              !cached->sha256.empty()) {
      return cached->sha256;
    }
    std::string hash = HashFile(e.path);
    if (!hash.empty()) SetDirtyEntry(e.path, DirtyEntry{e.mtime, hash});
    return hash;
  }

  // A changed placeholder whose bytes the service holds already under this
  // name (the edit was undone, or an upload finished just before a crash):
  // it takes that file's id, and an old version left behind is recycled.
  bool AdoptSameContent(const LocalEntry& e, const std::string& name) {
    if (e.mtime > NowSeconds() - kSettleSeconds || !file_by_name_.count(name)) return false;
    UploadClaim claim(e.path);
    if (!claim.claimed()) return false;
    const int64_t ticks = FileWriteTicks(e.path);  // before the content is read
    if (SecondsFromWriteTicks(ticks) != e.mtime) return false;  // written since the scan
    const std::string hash = LocalHash(e);
    if (hash.empty()) return false;
    const std::string id = e.server_id();
    for (const auto& g : server_.files) {
      if (platform::WideToUtf8(g.name) != name || !SameDigest(hash, g.sha256)) continue;
      if (g.id != id && listed_ids_.count(id) &&
          WithRetry("modify-recycle", [&] { return Service().RecycleFile(id); })) {
        ForgetKnownFile(id);
      }
      if (g.id == id) {
        ProviderHandle handle;
        if (handle.Open(e.path, false).ok() && handle.SetInSyncState(true).ok()) {
          handle.Close();
          KeepInSyncMarkIfUnwritten(e.path, ticks);
        }
        AddKnownFile(id, e.path);
      } else {
        AdoptUploadedFile(e.path, g.id, ticks, hash);
        Out(Cat("[UPLOAD-ADOPT] ", name, " is on the service already → file_id=", g.id, "\n"));
      }
      handled_.insert(name);
      return true;
    }
    return false;
  }

  void UploadEdit(const LocalEntry& e, const std::string& name, const FileEntry& f) {
    if (e.mtime > NowSeconds() - kSettleSeconds) return;  // may still be written
    UploadClaim claim(e.path);
    if (!claim.claimed()) return;
    // Taken before the content is read; written again since the scan: wait.
    const int64_t ticks = FileWriteTicks(e.path);
    if (SecondsFromWriteTicks(ticks) != e.mtime) return;
    const std::string hash = LocalHash(e);
    if (hash.empty()) return;
    Out(Cat("[MODIFIED] ", name, " sha256 differs (local=", hash.substr(0, 16),
            "... server=", f.sha256.substr(0, 16), "...)\n"));
    const std::u16string folder = platform::Utf8ToWide(folder_id_);
    std::string new_id;
    ++counters_->uploads;
    if (!WithRetry("modify-upload",
                   [&] { return Service().UploadSimple(e.path, folder, new_id, nullptr); })) {
      ReportFailure(Cat("upload of the change to ", PathToUtf8(e.path),
                        " failed; it is tried again next cycle"));
      return;
    }
    handled_.insert(name);
    if (WithRetry("modify-recycle", [&] { return Service().RecycleFile(f.id); })) {
      ForgetKnownFile(f.id);
    }
    AdoptUploadedFile(e.path, new_id, ticks, hash);
    Out(Cat("[MODIFY-OK] ", name, " → new file_id=", new_id, " (old ", f.id, " recycled)\n"));
  }

  // A listed file that was here (known id) and is gone locally, and is not
  // where the agent last placed it either, was deleted by the user, unless
  // the rest of the walk finds it elsewhere: noted, recycled at the end of
  // the cycle.
  void NoteUserDeletions() {
    for (const auto& f : server_.files) {
      const std::string name = platform::WideToUtf8(f.name);
      if (local_.count(name) || handled_.count(name)) continue;
      if (!IsKnownFile(f.id) || IsLocalMovePending(f.id)) continue;
      const fs::path elsewhere = KnownFilePath(f.id);
      LocalEntry e;
      if (!elsewhere.empty() && elsewhere != Child(name) && ReadLocalEntry(elsewhere, &e) &&
          e.kind() == 'F' && e.server_id() == f.id) {
        continue;
      }
      counters_->deletions.push_back({f.id, Child(name)});
    }
  }

  void CreateServerItems() {
    std::vector<const FolderEntry*> new_folders;
    for (const auto& g : server_.folders) {
      const std::string name = platform::WideToUtf8(g.name);
      auto it = local_.find(name);
      if (it == local_.end()) {
        new_folders.push_back(&g);
      } else if (it->second.is_directory && !it->second.is_placeholder &&
                 (it->second.attributes & platform::kFileAttributeReparsePoint) == 0) {
        RepairFolder(it->second.path, name, g.id);
      }
    }
    std::vector<FileEntry> new_files;
    for (const auto& f : server_.files) {
      const std::string name = platform::WideToUtf8(f.name);
      if (local_.count(name) || handled_.count(name)) continue;
      if (IsLocalMovePending(f.id)) continue;
      // Kept elsewhere locally, or deleted by the user (recycled at the end
      // of the cycle).
      if (IsKnownFile(f.id)) continue;
      if (folder_names_.count(name)) continue;
      new_files.push_back(f);
    }
    if (new_folders.empty() && new_files.empty()) return;
    Out(Cat("[SYNC] +", new_folders.size() + new_files.size(), " in ", DirText(), "\n"));
    for (const FolderEntry* g : new_folders) CreateFolder(*g);
    if (new_files.empty()) return;
    std::vector<platform::PlaceholderItem> items;
    CreateFilePlaceholders(dir_, new_files, &items);
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i].result.ok()) {
        AddKnownFile(new_files[i].id, dir_ / items[i].relative_name);
      }
    }
  }

  void RepairFolder(const fs::path& path, const std::string& name, const std::string& id) {
    ProviderHandle handle;
    if (!handle.Open(path, false).ok()) return;
    const platform::Status hr = handle.ConvertToPlaceholder(FolderIdentity(id), true);
    if (hr.ok()) {
      Out(Cat("[DIR-REPAIR] ", name, " → placeholder (D:", id, ")\n"));
    } else {
      Err(Cat("[DIR-REPAIR-ERR] ", name, " hr=0x", platform::HexHresult(hr.hresult()), "\n"));
    }
  }

  void CreateFolder(const FolderEntry& g) {
    const fs::path path = Child(platform::WideToUtf8(g.name));
    std::error_code ec;
    fs::create_directory(path, ec);
    ProviderHandle handle;
    if (const platform::Status err = handle.Open(path, false); !err.ok()) {
      Err(Cat("[DIR-CONVERT-ERR] open ", PathToUtf8(path), " err=", err.os_error(), "\n"));
      return;
    }
    platform::PlaceholderState state;
    const bool placeholder = handle.GetState(&state).ok() && state.is_placeholder;
    const platform::Status hr = placeholder
                                     ? handle.UpdateIdentity(FolderIdentity(g.id), true)
                                     : handle.ConvertToPlaceholder(FolderIdentity(g.id), true);
    if (!hr.ok()) {
      Err(Cat("[DIR-CONVERT-ERR] ", PathToUtf8(path), " hr=0x", platform::HexHresult(hr.hresult()), "\n"));
    }
  }

  // Where every listed file's placeholder is, for following later renames.
  void RecordKnownFiles() {
    for (const auto& f : server_.files) {
      auto it = local_.find(platform::WideToUtf8(f.name));
      if (it != local_.end() && it->second.kind() == 'F' && it->second.server_id() == f.id) {
        AddKnownFile(f.id, it->second.path);
      }
    }
  }

  // Items the listing no longer holds are noted here and removed once the
  // whole tree was walked (RemoveItemsGoneFromService): one moved on the
  // service into a folder walked later is followed there, not removed here.
  void RemoveItemsGoneFromServer() {
    for (const auto& [name, e] : local_) {
      if (file_by_name_.count(name) || folder_names_.count(name) || handled_.count(name)) continue;
      LocalEntry now;
      if (!ReadLocalEntry(e.path, &now)) continue;  // gone already
      const char kind = now.kind();
      if ((kind == 'F' && !now.is_directory) || (kind == 'D' && now.is_directory)) {
        counters_->gone.push_back(
            GoneCandidate{now.path, e.state.identity, now.server_id(), now.is_directory, listed_at_});
      } else if (!now.is_directory && (now.attributes & platform::kFileAttributeReparsePoint) == 0) {
        Out(Cat("[SKIP-DEL] ", name, " 不是占位/目录，可能是本地新文件，保留\n"));
      }
    }
  }

  void Descend() {
    for (const auto& [name, e] : local_) {
      if (e.is_directory && !folder_names_.count(name)) counters_->unmapped_dirs.push_back(e.path);
    }
    for (const auto& g : server_.folders) {
      const fs::path path = Child(platform::WideToUtf8(g.name));
      std::error_code ec;
      if (!fs::is_directory(path, ec)) continue;
      SetFolderId(path, g.id);
      DiffDir(path, g.id, counters_);
    }
  }

  const fs::path dir_;
  const std::string folder_id_;
  PollCounters* counters_;
  ServerFolder server_;
  std::chrono::steady_clock::time_point listed_at_{};  // when the folder was listed
  std::set<std::string> folder_names_;
  std::map<std::string, const FileEntry*> file_by_name_;
  std::map<std::string, const FileEntry*> listed_ids_;  // id → its listing entry
  LocalFolder local_;
  std::set<std::string> handled_;  // names settled in this pass (uploaded, adopted, re-pointed)
};

// Adds the "F:" ids below `dir` (its subfolders included) and where they
// are; false when a folder could not be read.
bool CollectFileIds(const fs::path& dir, std::map<std::string, fs::path>* out, int depth = 0) {
  LocalFolder entries;
  std::string error;
  if (depth > 64 || !ScanLocalFolder(dir, &entries, &error)) return false;
  bool complete = true;
  for (const auto& [name, e] : entries) {
    if (e.is_directory) {
      complete &= CollectFileIds(e.path, out, depth + 1);
    } else if (e.kind() == 'F') {
      out->emplace(e.server_id(), e.path);
    }
  }
  return complete;
}

}  // namespace

void RecycleUserDeletions(PollCounters* cycle) {
  if (cycle->deletions.empty()) return;
  if (cycle->incomplete) {
    Out(Cat("[USER-DEL-WAIT] ", cycle->deletions.size(),
            " file(s) gone locally wait for a cycle that reads every folder\n"));
    return;
  }
  // Folders of the user's own are not walked by the passes; read them only
  // when there is something to look for.
  std::map<std::string, fs::path> in_own_folders;
  bool looked = false;
  for (const DeletionCandidate& d : cycle->deletions) {
    if (IsLocalMovePending(d.file_id) || cycle->local_file_ids.count(d.file_id)) continue;
    if (!looked) {
      looked = true;
      for (const fs::path& dir : cycle->unmapped_dirs) {
        if (!CollectFileIds(dir, &in_own_folders)) {
          Err(Cat("[USER-DEL-WAIT] ", PathToUtf8(dir),
                  " could not be read; deletions wait for the next cycle\n"));
          return;
        }
      }
    }
    if (auto it = in_own_folders.find(d.file_id); it != in_own_folders.end()) {
      Out(Cat("[USER-DEL-SKIP] ", PathToUtf8(d.path), " is now ", PathToUtf8(it->second),
              " (a folder the service does not have); the service keeps id=", d.file_id, "\n"));
      AddKnownFile(d.file_id, it->second);
      QueueLocalCopy(d.file_id, it->second);
      continue;
    }
    Out(Cat("[USER-DEL] ", PathToUtf8(d.path.filename()), " → recycle server id=", d.file_id,
            "\n"));
    if (WithRetry("recycle", [&] { return Service().RecycleFile(d.file_id); })) {
      ForgetKnownFile(d.file_id);
    }
  }
}

void RemoveItemsGoneFromService(PollCounters* cycle) {
  for (const GoneCandidate& g : cycle->gone) {
    // Listed elsewhere in this cycle: moved on the service, and followed
    // (or to be followed) where it is listed now.
    const auto& listed = g.is_directory ? cycle->listed_folder_ids : cycle->listed_file_ids;
    if (listed.count(g.server_id)) continue;
    LocalEntry now;
    if (!ReadLocalEntry(g.path, &now) || now.is_directory != g.is_directory) continue;
    // Given another identity since its folder was listed (an upload of the
    // real-time path finished meanwhile): the listing cannot tell.
    if (now.state.identity != g.identity || AdoptedSince(g.path, g.listed_at)) continue;
    const std::string name = PathToUtf8(g.path.filename());
    const std::string dir = PathToUtf8(g.path.parent_path());
    if (!g.is_directory) {
      if (now.changed_locally() || IsLocalMovePending(g.server_id)) continue;  // not on the service
      Out(Cat("[SVR-DEL] -", name, " in ", dir, "\n"));
      RemoveMirroredFile(g.path, g.server_id);
      continue;
    }
    const int kept = RemoveMirroredTree(g.path);
    ForgetFolderTree(g.path);
    if (kept == 0) {
      Out(Cat("[SVR-DEL] -", name, " in ", dir, "\n"));
    } else {
      Err(Cat("[SVR-DEL-KEEP] ", PathToUtf8(g.path), ": deleted on the service; kept ", kept,
              " local item(s) the service does not hold\n"));
    }
  }
  cycle->gone.clear();
}

void DiffDir(const fs::path& dir, const std::string& folder_id, PollCounters* counters) {
  try {
    FolderPass(dir, folder_id, counters).Run();
    // The pass (and those of the folders below) dealt with the changes in
    // this folder: it is in sync again.
    MarkFolderInSync(dir);
  } catch (const std::exception& e) {
    // One folder's failure (a file-system error, a malformed number) must
    // not end the poll thread: report it and let the cycle go on.
    Err(Cat("[POLL-ERR] ", PathToUtf8(dir), ": ", e.what(), "\n"));
  }
}

}  // namespace zem

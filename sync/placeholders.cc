#include "sync/placeholders.h"

#include <system_error>

#include "common/cat.h"
#include "common/output.h"
#include "platform/cloud_files.h"
#include "platform/file_attributes.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "sync/identity.h"
#include "sync/placeholder_provider.h"
#include "sync/state/file_time.h"

namespace zem {
namespace {

std::string Utf8(const std::filesystem::path& p) { return platform::PathToUtf8(p); }

// The listed SHA-256 as the provider keeps it: 64 lower-case hex digits, or
// nothing when the service sent something else (the fetch then checks the
// size only).
std::string ListedSha256(std::string_view listed) {
  if (listed.size() != 64) return {};
  std::string out;
  for (char c : listed) {
    const char l = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
    if (!((l >= '0' && l <= '9') || (l >= 'a' && l <= 'f'))) return {};
    out.push_back(l);
  }
  return out;
}

bool IsPlaceholderAttributes(const std::filesystem::path& path, uint32_t* attributes) {
  return Placeholders().ReadFileAttributes(path, attributes).ok() &&
         (*attributes & platform::kFileAttributeReparsePoint) != 0;
}

// A pending file, or a file placeholder whose content was changed here.
bool HoldsLocalChange(const platform::PlaceholderState& state) {
  if (state.identity.rfind("P:", 0) == 0) return true;
  return state.identity.rfind("F:", 0) == 0 && !state.in_sync && state.hydrated;
}

}  // namespace

bool ConvertToFilePlaceholder(const std::filesystem::path& path, std::string_view file_id) {
  const std::string identity = FileIdentity(file_id);
  ProviderHandle handle;
  if (const platform::Status err = handle.Open(path, /*delete_access=*/true); !err.ok()) {
    Err(Cat("[CONVERT-ERR] CreateFile failed for ", Utf8(path), " err=", err.os_error(), "\n"));
    return false;
  }
  uint32_t attributes = 0;
  const bool update = IsPlaceholderAttributes(path, &attributes);
  const platform::Status hr = update ? handle.UpdateIdentity(identity, /*mark_in_sync=*/true)
                                      : handle.ConvertToPlaceholder(identity, /*mark_in_sync=*/true);
  handle.Close();
  if (hr.ok()) return true;
  Err(Cat("[CONVERT-ERR] ", update ? "CfUpdatePlaceholder" : "CfConvertToPlaceholder",
          " hr=0x", platform::HexHresult(hr.hresult()), " for ", Utf8(path), "\n"));
  return false;
}

bool RepointFilePlaceholder(const std::filesystem::path& path, std::string_view file_id,
                            int64_t size, std::string_view content_sha256) {
  ProviderHandle handle;
  if (const platform::Status err = handle.Open(path, /*delete_access=*/true); !err.ok()) {
    Err(Cat("[REPOINT-ERR] CreateFile failed for ", Utf8(path), " err=", err.os_error(), "\n"));
    return false;
  }
  const platform::Status hr = handle.Repoint(FileIdentity(file_id), size, ListedSha256(content_sha256));
  if (hr.ok()) return true;
  if (hr.Is(platform::kHrNotInSync)) {
    Out(Cat("[REPOINT-SKIP] ", Utf8(path), " was changed here; the next cycle takes it up\n"));
    return false;
  }
  Err(Cat("[REPOINT-ERR] hr=0x", platform::HexHresult(hr.hresult()), " for ", Utf8(path), "\n"));
  return false;
}

bool KeepInSyncMarkIfUnwritten(const std::filesystem::path& path, int64_t ticks_before) {
  const int64_t now = FileWriteTicks(path);
  if (now == ticks_before || now == 0) return true;  // unchanged, or gone
  ProviderHandle handle;
  if (handle.Open(path, /*delete_access=*/false).ok()) handle.SetInSyncState(false);
  Out(Cat("[INSYNC-UNDO] ", Utf8(path),
          " was written while it was marked in sync; the change goes up next\n"));
  return false;
}

bool MarkPendingPlaceholder(const std::filesystem::path& path) {
  uint32_t attributes = 0;
  if (!Placeholders().ReadFileAttributes(path, &attributes).ok()) return false;
  if (attributes & platform::kFileAttributeReparsePoint) return true;  // a placeholder already
  const std::string identity = PendingIdentity(path);
  ProviderHandle handle;
  if (const platform::Status err = handle.Open(path, /*delete_access=*/true); !err.ok()) {
    Err(Cat("[PENDING-ERR] CreateFile failed for ", Utf8(path), " err=", err.os_error(), "\n"));
    return false;
  }
  const platform::Status hr = handle.ConvertToPlaceholder(identity, /*mark_in_sync=*/false);
  if (hr.ok()) handle.SetInSyncState(false);  // result not needed
  handle.Close();
  if (hr.ok()) return true;
  Err(Cat("[PENDING-ERR] CfConvertToPlaceholder hr=0x", platform::HexHresult(hr.hresult()), " for ",
          Utf8(path), "\n"));
  return false;
}

void CreateFilePlaceholders(const std::filesystem::path& base, const std::vector<FileEntry>& files,
                            std::vector<platform::PlaceholderItem>* created) {
  const int64_t now = platform::CurrentFileTime();
  std::vector<platform::PlaceholderItem> items;
  items.reserve(files.size());
  for (const FileEntry& f : files) {
    platform::PlaceholderItem item;
    item.relative_name = platform::PathFromUtf8(platform::WideToUtf8(f.name));
    item.creation_time = item.last_access_time = item.last_write_time = item.change_time = now;
    item.attributes = platform::kFileAttributeNormal;
    item.size = f.size;
    item.identity = FileIdentity(f.id);
    item.content_sha256 = ListedSha256(f.sha256);
    item.mark_in_sync = true;
    items.push_back(std::move(item));
  }
  if (items.empty()) return;
  Placeholders().CreatePlaceholders(base, items);  // per-item results are the caller's business
  if (created) *created = std::move(items);
}

namespace {

// 1: marked now; 0: a folder placeholder in sync already; -1: no folder
// placeholder of the service or a virtual root (or unreadable).
int MarkIfFolderPlaceholder(const std::filesystem::path& dir) {
  ProviderHandle handle;
  platform::PlaceholderState state;
  if (dir.empty() || !handle.Open(dir, /*delete_access=*/false).ok() ||
      !handle.GetState(&state).ok() || !state.is_placeholder) {
    return -1;
  }
  const std::string& id = state.identity;
  if (id.size() < 2 || id[1] != ':' || (id[0] != 'D' && id[0] != 'V')) return -1;
  if (state.in_sync) return 0;
  return handle.SetInSyncState(true).ok() ? 1 : 0;
}

}  // namespace

bool MarkFolderInSync(const std::filesystem::path& dir) { return MarkIfFolderPlaceholder(dir) == 1; }

int MarkFoldersInSync(const std::filesystem::path& dir) {
  int marked = 0;
  std::filesystem::path at = dir;
  for (int depth = 0; depth < 256; ++depth) {
    const int r = MarkIfFolderPlaceholder(at);
    if (r < 0) break;
    marked += r;
    if (!at.has_relative_path() || at.parent_path() == at) break;
    at = at.parent_path();
  }
  return marked;
}

void ReassertInSync(const std::filesystem::path& root) {
  std::error_code ec;
  if (!std::filesystem::is_directory(root, ec)) return;
  uint64_t ok = 0, failed = 0;
  std::filesystem::recursive_directory_iterator it(root, ec), end;
  if (ec) it = end;  // the walk cannot start: it is empty
  while (it != end) {
    const std::filesystem::path path = it->path();
    uint32_t attributes = 0;
    if (IsPlaceholderAttributes(path, &attributes)) {
      ProviderHandle handle;
      platform::PlaceholderState state;
      // Taken before the state is read: a save between the read and the
      // mark is found by the time it changed.
      const int64_t ticks = FileWriteTicks(path);
      if (!handle.Open(path, /*delete_access=*/false).ok()) {
        ++failed;
      } else if (handle.GetState(&state).ok() && HoldsLocalChange(state)) {
        // Not ours to mark: a pending upload or a local edit not yet
        // uploaded would look synced and never go up.
      } else {
        const platform::Status hr = handle.SetInSyncState(true);
        handle.Close();
        (hr.ok() ? ok : failed) += 1;
        if (hr.ok() && !(attributes & platform::kFileAttributeDirectory)) {
          KeepInSyncMarkIfUnwritten(path, ticks);
        }
      }
    }
    it.increment(ec);
    if (ec) {
      // A folder that vanished or cannot be read mid-walk must not take the
      // thread down: report it and count what was done.
      Err(Cat("[REASSERT-ERR] walk stopped at ", Utf8(path), ": ", ec.message(), "\n"));
      break;
    }
  }
  Out(Cat("[REASSERT] ", ok, " placeholders marked IN_SYNC (", failed, " failed)\n"));
}

}  // namespace zem

#include "sync/uploaded_file.h"

#include <map>
#include <mutex>

#include "common/cat.h"
#include "common/output.h"
#include "platform/cloud_files.h"
#include "platform/os_error.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "sync/identity.h"
#include "sync/placeholder_provider.h"
#include "sync/placeholders.h"
#include "sync/state/dirty_cache.h"
#include "sync/state/file_time.h"
#include "sync/state/known_files.h"

namespace zem {
namespace {

constexpr auto kAdoptionMemory = std::chrono::minutes(10);

std::mutex g_adopted_mu;  // guards g_adopted only
std::map<std::filesystem::path, std::chrono::steady_clock::time_point> g_adopted;

}  // namespace

void RememberAdoption(const std::filesystem::path& path) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(g_adopted_mu);
  std::erase_if(g_adopted, [&](const auto& entry) { return now - entry.second > kAdoptionMemory; });
  g_adopted[path] = now;
}

bool AdoptedSince(const std::filesystem::path& path, std::chrono::steady_clock::time_point since) {
  std::lock_guard lock(g_adopted_mu);
  const auto it = g_adopted.find(path);
  return it != g_adopted.end() && it->second >= since;
}

std::string Sha256File(const std::filesystem::path& path) {
  const auto r = platform::Sha256File(path);
  return r.ok() ? r.hex : std::string();
}

bool AdoptUploadedFile(const std::filesystem::path& path, std::string_view file_id,
                       int64_t ticks_before, const std::string& sha256) {
  // Compared to the tick, not the second: a save in the same second as the
  // read must not be taken for the uploaded content.
  const bool unchanged = ticks_before != 0 && FileWriteTicks(path) == ticks_before;
  const int64_t mtime_before = SecondsFromWriteTicks(ticks_before);
  bool ok;
  bool in_sync = unchanged;
  if (unchanged) {
    ok = ConvertToFilePlaceholder(path, file_id);
    // A save between the comparison above and the mark.
    in_sync = ok && KeepInSyncMarkIfUnwritten(path, ticks_before);
  } else {
    // Written again during the upload: take the new identity but stay not
    // in sync, so the next cycle uploads the newer content.
    ProviderHandle handle;
    ok = handle.Open(path, /*delete_access=*/false).ok();
    if (ok) {
      platform::PlaceholderState state;
      const bool is_placeholder =
          handle.GetState(&state).ok() && state.is_placeholder;
      const platform::Status hr =
          is_placeholder ? handle.UpdateIdentity(FileIdentity(file_id), /*mark_in_sync=*/false)
                         : handle.ConvertToPlaceholder(FileIdentity(file_id), false);
      if (hr.ok() && !is_placeholder) handle.SetInSyncState(false);
      ok = hr.ok();
      if (!ok) {
        Err(Cat("[CONVERT-ERR] hr=0x", platform::HexHresult(hr.hresult()), " for ",
                platform::PathToUtf8(path), "\n"));
      }
    }
  }
  if (!ok) return false;
  RememberAdoption(path);
  AddKnownFile(file_id, path);
  if (in_sync && !sha256.empty()) SetDirtyEntry(path, DirtyEntry{mtime_before, sha256});
  return true;
}

}  // namespace zem

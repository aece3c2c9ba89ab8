#include "sync/poll/read_only_views.h"

#include <exception>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "client/listing.h"
#include "client/retry.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/cloud_files.h"
#include "platform/file_attributes.h"
#include "platform/text.h"
#include "sync/identity.h"
#include "sync/placeholder_provider.h"
#include "sync/service_api.h"

namespace zem {
namespace fs = std::filesystem;
namespace {

struct ViewItem {
  std::u16string name;
  std::string id;
  bool folder = false;
  int64_t size = 0;
};

struct ViewKind {
  const char* label;         // retry label
  const char* added_line;    // "[SHARED] +"
  const char* area_text;     // " in 共享给我/\n"
  const char* removed_tag;   // "[SHARED-DEL] "
  const char* removed_text;  // " (no longer shared)\n"
  bool skip_desktop_ini;     // the recycle view ignores its desktop.ini
  std::string (*identity)(std::string_view);
  bool (*list)(std::vector<ViewItem>*);
};

template <typename F>
bool Guarded(const char* label, F list) {
  try {
    return list();
  } catch (const std::exception& e) {
    Err(Cat("[LIST-ERR] ", label, ": ", e.what(), "\n"));
    return false;
  }
}

bool ListShared(std::vector<ViewItem>* out) {
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  if (!Guarded("shared-to-me", [&] { return Service().ListSharedToMe(folders, files); })) {
    return false;
  }
  for (auto& g : folders) out->push_back({g.name, g.id, true, 0});  // folders first
  for (auto& f : files) out->push_back({f.name, f.id, false, f.size});
  return true;
}

bool ListRecycle(std::vector<ViewItem>* out) {
  std::vector<FileEntry> entries;
  if (!Guarded("recycle-list", [&] { return Service().ListRecycleBin(entries); })) return false;
  for (auto& f : entries) out->push_back({f.name, f.id, false, f.size});
  return true;
}

void SyncView(const fs::path& area, const ViewKind& kind) {
  std::vector<ViewItem> items;
  if (!WithRetry(kind.label, [&] {
        items.clear();
        return kind.list(&items);
      })) {
    return;  // the area stays as it is until the next cycle
  }
  std::set<std::string> local;
  std::error_code ec;
  for (fs::directory_iterator it(area, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = platform::PathToUtf8(it->path().filename());
    if (kind.skip_desktop_ini && name == "desktop.ini") continue;
    local.insert(std::move(name));
  }
  if (ec && ec != std::errc::no_such_file_or_directory) {
    Err(Cat("[SCAN-ERR] ", platform::PathToUtf8(area), ": ", ec.message(), "\n"));
    return;  // deciding on half a listing could delete what is still shared
  }
  std::set<std::string> remote;
  std::vector<platform::PlaceholderItem> batch;
  const int64_t now = platform::CurrentFileTime();
  for (const auto& item : items) {
    std::string name = platform::WideToUtf8(item.name);
    if (!remote.insert(name).second || local.count(name)) continue;
    platform::PlaceholderItem spec;
    spec.relative_name = platform::PathFromUtf8(name);
    spec.creation_time = spec.last_access_time = spec.last_write_time = spec.change_time = now;
    spec.attributes = platform::kFileAttributeReadonly |
                      (item.folder ? platform::kFileAttributeDirectory : platform::kFileAttributeNormal);
    spec.size = item.folder ? 0 : item.size;
    spec.identity = kind.identity(item.id);
    spec.mark_in_sync = true;
    batch.push_back(std::move(spec));
  }
  if (!batch.empty()) {
    Out(Cat(kind.added_line, batch.size(), kind.area_text));
    Placeholders().CreatePlaceholders(area, batch);  // a clash is tried again next cycle
  }
  for (const std::string& name : local) {
    if (remote.count(name)) continue;
    const fs::path path = area / platform::PathFromUtf8(name);
    uint32_t attributes = 0;
    if (!Placeholders().ReadFileAttributes(path, &attributes).ok() ||
        (attributes & platform::kFileAttributeReparsePoint) == 0) {
      continue;  // the user's own file: never touched
    }
    Out(Cat(kind.removed_tag, name, kind.removed_text));
    platform::WriteFileAttributes(path, attributes & ~platform::kFileAttributeReadonly);
    if (attributes & platform::kFileAttributeDirectory) {
      fs::remove_all(path, ec);
    } else {
      fs::remove(path, ec);
    }
  }
}

const ViewKind kShared{"shared-to-me", "[SHARED] +", " in 共享给我/\n", "[SHARED-DEL] ",
                       " (no longer shared)\n", false, SharedIdentity, ListShared};
const ViewKind kRecycle{"recycle-list", "[RECYCLE] +", " in ZEM 回收站/\n", "[RECYCLE-DEL] ",
                        " (no longer in recycle)\n", true, RecycledIdentity, ListRecycle};

}  // namespace

void SyncSharedView(const fs::path& area) { SyncView(area, kShared); }
void SyncRecycleView(const fs::path& area) { SyncView(area, kRecycle); }

}  // namespace zem

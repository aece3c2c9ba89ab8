#include "tests/support/memory_provider.h"

#include <fstream>
#include <system_error>

#include "platform/file_attributes.h"
#include "platform/os_error.h"
#include "platform/text.h"

namespace zem::testing {
namespace fs = std::filesystem;
namespace {

constexpr uint32_t kFileNotFound = 2;  // ERROR_FILE_NOT_FOUND and ENOENT alike
constexpr int32_t kHrExists = platform::HresultFromOsError(183);  // ERROR_ALREADY_EXISTS

int64_t WriteTicks(const fs::path& path) {
  int64_t ticks = 0;
  return platform::ReadLastWriteTime(path, &ticks).ok() ? ticks : 0;
}

// "<what> <path>" failing with the provider's `hr`, as the platform's would.
platform::Status Refused(const char* what, const fs::path& path, int32_t hr) {
  return platform::StatusFromHresult(std::string(what) + " " + platform::PathToUtf8(path), hr);
}

}  // namespace

// An open item: each call takes the provider's lock.
class MemoryProvider::Item final : public OpenPlaceholder {
 public:
  Item(MemoryProvider* provider, fs::path path) : p_(provider), path_(std::move(path)) {}

  platform::Status ConvertToPlaceholder(std::string_view identity, bool mark_in_sync) override {
    if (identity.size() > 4096) return Refused("convert", path_, platform::kHrInvalidArgument);
    std::lock_guard lock(p_->mu_);
    std::error_code ec;
    Record& r = p_->records_[Key(path_)];
    r = Record{};
    r.directory = fs::is_directory(fs::symlink_status(path_, ec));
    r.identity = identity;
    r.in_sync = mark_in_sync;
    r.hydrated = true;  // an existing item keeps its content
    SettleLocked(path_, r);
    return platform::Status();
  }

  platform::Status UpdateIdentity(std::string_view identity, bool mark_in_sync) override {
    std::lock_guard lock(p_->mu_);
    Record* r = p_->FindLocked(path_);
    if (!r) return Refused("update identity of", path_, platform::kHrNotACloudFile);
    r->identity = identity;
    if (mark_in_sync) r->in_sync = true;
    SettleLocked(path_, *r);
    return platform::Status();
  }

  platform::Status SetInSyncState(bool in_sync) override {
    std::lock_guard lock(p_->mu_);
    Record* r = p_->FindLocked(path_);
    if (!r) return Refused("set in-sync state of", path_, platform::kHrNotACloudFile);
    r->in_sync = in_sync;
    SettleLocked(path_, *r);
    return platform::Status();
  }

  platform::Status Repoint(std::string_view identity, int64_t size,
                           std::string_view /*content_sha256*/) override {
    std::lock_guard lock(p_->mu_);
    Record* r = p_->FindLocked(path_);
    if (!r) return Refused("repoint", path_, platform::kHrNotACloudFile);
    if (r->directory || size < 0) return Refused("repoint", path_, platform::kHrInvalidArgument);
    // Local content is never dropped.
    if (!r->in_sync) return Refused("repoint", path_, platform::kHrNotInSync);
    std::error_code ec;
    fs::resize_file(path_, 0, ec);
    if (ec) {
      return platform::StatusFromOsError("repoint " + platform::PathToUtf8(path_),
                                         static_cast<uint32_t>(ec.value()));
    }
    r->identity = identity;
    r->size = size;
    r->hydrated = false;
    r->in_sync = true;
    SettleLocked(path_, *r);
    return platform::Status();
  }

  platform::Status GetState(platform::PlaceholderState* state) override {
    std::lock_guard lock(p_->mu_);
    Record* r = p_->FindLocked(path_);
    *state = r ? StateLocked(path_, *r) : platform::PlaceholderState{};
    return platform::Status();
  }

 private:
  MemoryProvider* p_;
  const fs::path path_;
};

fs::path MemoryProvider::Key(const fs::path& path) { return path.lexically_normal(); }

MemoryProvider::Record* MemoryProvider::FindLocked(const fs::path& path) {
  const auto it = records_.find(Key(path));
  if (it == records_.end()) return nullptr;
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(path, ec);
  if (!fs::exists(st) || fs::is_directory(st) != it->second.directory) {
    records_.erase(it);  // removed, or replaced by an item of another kind
    return nullptr;
  }
  Record& r = it->second;
  if (!r.directory && WriteTicks(path) != r.write_ticks) {
    // Written since its state was last set: a local change, as the
    // provider reports a write.
    r.in_sync = false;
    r.hydrated = true;
    SettleLocked(path, r);
  }
  return &r;
}

void MemoryProvider::SettleLocked(const fs::path& path, Record& record) {
  record.write_ticks = record.directory ? 0 : WriteTicks(path);
}

platform::PlaceholderState MemoryProvider::StateLocked(const fs::path& path, const Record& r) {
  platform::PlaceholderState s;
  s.is_placeholder = true;
  s.in_sync = r.in_sync;
  s.hydrated = r.directory || r.hydrated;
  s.identity = r.identity;
  if (!r.directory) {
    std::error_code ec;
    const auto on_disk = fs::file_size(path, ec);
    s.logical_size = r.hydrated ? (ec ? 0 : static_cast<int64_t>(on_disk)) : r.size;
  }
  return s;
}

platform::Status MemoryProvider::Open(const fs::path& path, bool /*delete_access*/,
                                      std::unique_ptr<OpenPlaceholder>* item) {
  item->reset();
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) {
    return platform::StatusFromOsError("open " + platform::PathToUtf8(path), kFileNotFound);
  }
  *item = std::make_unique<Item>(this, path);
  return platform::Status();
}

platform::Status MemoryProvider::CreatePlaceholders(
    const fs::path& base, std::vector<platform::PlaceholderItem>& items) {
  std::error_code ec;
  platform::Status overall;
  if (!fs::is_directory(base, ec)) {
    overall = platform::StatusFromOsError("open " + platform::PathToUtf8(base), kFileNotFound);
    for (auto& item : items) item.result = overall;
    return overall;
  }
  std::lock_guard lock(mu_);
  for (auto& item : items) {
    const fs::path path = base / item.relative_name;
    const bool directory = (item.attributes & platform::kFileAttributeDirectory) != 0;
    if (!platform::IsPlainPlaceholderName(item.relative_name)) {
      item.result = Refused("create placeholder", path, platform::kHrInvalidArgument);
    } else if (fs::exists(fs::symlink_status(path, ec))) {
      item.result = Refused("create placeholder", path, kHrExists);  // the entry is left alone
    } else if (directory ? !fs::create_directory(path, ec)
                         : !std::ofstream(path, std::ios::binary).good()) {
      item.result = platform::StatusFromOsError("create placeholder " + platform::PathToUtf8(path),
                                                kFileNotFound);
    } else {
      Record& r = records_[Key(path)];
      r = Record{};
      r.directory = directory;
      r.identity = item.identity;
      r.in_sync = item.mark_in_sync;
      r.hydrated = directory;  // a file's content is fetched on first read
      r.size = directory ? 0 : item.size;
      SettleLocked(path, r);
      item.result = platform::Status();
    }
    if (!item.result.ok() && overall.ok()) overall = item.result;
  }
  return overall;
}

platform::Status MemoryProvider::ReadFileAttributes(const fs::path& path, uint32_t* attributes) {
  if (platform::Status read = platform::ReadFileAttributes(path, attributes); !read.ok()) {
    return read;
  }
  std::lock_guard lock(mu_);
  if (FindLocked(path)) {
    *attributes = (*attributes | platform::kFileAttributeReparsePoint) &
                  ~platform::kFileAttributeNormal;
  }
  return platform::Status();
}

platform::Status MemoryProvider::ReadEntryState(const fs::path& path,
                                                platform::FolderEntryState* out) {
  platform::FolderEntryState s;
  if (platform::Status read = ReadFileAttributes(path, &s.attributes); !read.ok()) return read;
  s.name = path.filename();
  s.is_directory = (s.attributes & platform::kFileAttributeDirectory) != 0;
  if (!s.is_directory) s.last_write_time = WriteTicks(path);
  if (s.attributes & platform::kFileAttributeReparsePoint) {
    std::lock_guard lock(mu_);
    if (Record* r = FindLocked(path)) {
      s.is_placeholder = true;
      s.state = StateLocked(path, *r);
    }
  }
  *out = std::move(s);
  return platform::Status();
}

platform::Status MemoryProvider::ReadFolderStates(const fs::path& dir,
                                                  std::vector<platform::FolderEntryState>* out) {
  out->clear();
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return platform::Status();
  std::vector<fs::path> names;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename());
  }
  if (ec) {
    return platform::StatusFromOsError("read folder " + platform::PathToUtf8(dir),
                                       static_cast<uint32_t>(ec.value()))
        .WithExplanation(ec.message());
  }
  for (const fs::path& name : names) {
    platform::FolderEntryState s;
    if (ReadEntryState(dir / name, &s).ok()) out->push_back(std::move(s));
  }
  return platform::Status();
}

std::error_code MemoryProvider::Rename(const fs::path& from, const fs::path& to) {
  std::lock_guard lock(mu_);
  std::error_code ec;
  fs::rename(from, to, ec);
  if (ec) return ec;
  // What stood at `to` is replaced; what was below `from` is now below `to`.
  const fs::path old_key = Key(from), new_key = Key(to);
  auto below = [](const fs::path& key, const fs::path& top) {
    const fs::path rel = key.lexically_relative(top);
    return !rel.empty() && *rel.begin() != "..";
  };
  std::map<fs::path, Record> moved;
  for (auto it = records_.begin(); it != records_.end();) {
    if (below(it->first, old_key)) {
      const fs::path rel = it->first.lexically_relative(old_key);
      moved[rel == "." ? new_key : (new_key / rel).lexically_normal()] = it->second;
      it = records_.erase(it);
    } else if (below(it->first, new_key)) {
      it = records_.erase(it);
    } else {
      ++it;
    }
  }
  records_.merge(moved);
  return {};
}

std::optional<platform::PlaceholderState> MemoryProvider::StateOf(const fs::path& path) {
  std::lock_guard lock(mu_);
  Record* r = FindLocked(path);
  if (!r) return std::nullopt;
  return StateLocked(path, *r);
}

}  // namespace zem::testing

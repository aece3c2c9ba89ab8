#include "tests/support/memory_provider.h"

#include <fstream>
#include <system_error>

#include "platform/file_attributes.h"
#include "platform/os_error.h"

namespace zem::testing {
namespace fs = std::filesystem;
namespace {

constexpr uint32_t kFileNotFound = 2;  // ERROR_FILE_NOT_FOUND and ENOENT alike
constexpr platform::Hresult kHrExists = platform::HresultFromOsError(183);  // ERROR_ALREADY_EXISTS

int64_t WriteTicks(const fs::path& path) {
  int64_t ticks = 0;
  return platform::ReadLastWriteTime(path, &ticks) == 0 ? ticks : 0;
}

}  // namespace

// An open item: each call takes the provider's lock.
class MemoryProvider::Item final : public OpenPlaceholder {
 public:
  Item(MemoryProvider* provider, fs::path path) : p_(provider), path_(std::move(path)) {}

  platform::Hresult ConvertToPlaceholder(std::string_view identity, bool mark_in_sync) override {
    if (identity.size() > 4096) return platform::kHrInvalidArgument;
    std::lock_guard lock(p_->mu_);
    std::error_code ec;
    Record& r = p_->records_[Key(path_)];
    r = Record{};
    r.directory = fs::is_directory(fs::symlink_status(path_, ec));
    r.identity = identity;
    r.in_sync = mark_in_sync;
    r.hydrated = true;  // an existing item keeps its content
    SettleLocked(path_, r);
    return 0;
  }

  platform::Hresult UpdateIdentity(std::string_view identity, bool mark_in_sync) override {
    std::lock_guard lock(p_->mu_);
    Record* r = p_->FindLocked(path_);
    if (!r) return platform::kHrNotACloudFile;
    r->identity = identity;
    if (mark_in_sync) r->in_sync = true;
    SettleLocked(path_, *r);
    return 0;
  }

  platform::Hresult SetInSyncState(bool in_sync) override {
    std::lock_guard lock(p_->mu_);
    Record* r = p_->FindLocked(path_);
    if (!r) return platform::kHrNotACloudFile;
    r->in_sync = in_sync;
    SettleLocked(path_, *r);
    return 0;
  }

  platform::Hresult Repoint(std::string_view identity, int64_t size,
                            std::string_view /*content_sha256*/) override {
    std::lock_guard lock(p_->mu_);
    Record* r = p_->FindLocked(path_);
    if (!r) return platform::kHrNotACloudFile;
    if (r->directory || size < 0) return platform::kHrInvalidArgument;
    if (!r->in_sync) return platform::kHrNotInSync;  // local content is never dropped
    std::error_code ec;
    fs::resize_file(path_, 0, ec);
    if (ec) return platform::HresultFromOsError(static_cast<uint32_t>(ec.value()));
    r->identity = identity;
    r->size = size;
    r->hydrated = false;
    r->in_sync = true;
    SettleLocked(path_, *r);
    return 0;
  }

  platform::Hresult GetState(platform::PlaceholderState* state) override {
    std::lock_guard lock(p_->mu_);
    Record* r = p_->FindLocked(path_);
    *state = r ? StateLocked(path_, *r) : platform::PlaceholderState{};
    return 0;
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

uint32_t MemoryProvider::Open(const fs::path& path, bool /*delete_access*/,
                              std::unique_ptr<OpenPlaceholder>* item) {
  item->reset();
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return kFileNotFound;
  *item = std::make_unique<Item>(this, path);
  return 0;
}

platform::Hresult MemoryProvider::CreatePlaceholders(
    const fs::path& base, std::vector<platform::PlaceholderItem>& items) {
  std::error_code ec;
  platform::Hresult overall = 0;
  if (!fs::is_directory(base, ec)) {
    overall = platform::HresultFromOsError(kFileNotFound);
    for (auto& item : items) item.result = overall;
    return overall;
  }
  std::lock_guard lock(mu_);
  for (auto& item : items) {
    const fs::path path = base / item.relative_name;
    const bool directory = (item.attributes & platform::kFileAttributeDirectory) != 0;
    if (!platform::IsPlainPlaceholderName(item.relative_name)) {
      item.result = platform::kHrInvalidArgument;
    } else if (fs::exists(fs::symlink_status(path, ec))) {
      item.result = kHrExists;  // the existing entry is left alone
    } else if (directory ? !fs::create_directory(path, ec)
                         : !std::ofstream(path, std::ios::binary).good()) {
      item.result = platform::HresultFromOsError(kFileNotFound);
    } else {
      Record& r = records_[Key(path)];
      r = Record{};
      r.directory = directory;
      r.identity = item.identity;
      r.in_sync = item.mark_in_sync;
      r.hydrated = directory;  // a file's content is fetched on first read
      r.size = directory ? 0 : item.size;
      SettleLocked(path, r);
      item.result = 0;
    }
    if (!platform::Succeeded(item.result) && platform::Succeeded(overall)) overall = item.result;
  }
  return overall;
}

uint32_t MemoryProvider::ReadFileAttributes(const fs::path& path, uint32_t* attributes) {
  if (const uint32_t err = platform::ReadFileAttributes(path, attributes)) return err;
  std::lock_guard lock(mu_);
  if (FindLocked(path)) {
    *attributes = (*attributes | platform::kFileAttributeReparsePoint) &
                  ~platform::kFileAttributeNormal;
  }
  return 0;
}

bool MemoryProvider::ReadEntryState(const fs::path& path, platform::FolderEntryState* out) {
  platform::FolderEntryState s;
  if (ReadFileAttributes(path, &s.attributes) != 0) return false;
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
  return true;
}

bool MemoryProvider::ReadFolderStates(const fs::path& dir,
                                      std::vector<platform::FolderEntryState>* out,
                                      std::string* error) {
  out->clear();
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return true;
  std::vector<fs::path> names;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename());
  }
  if (ec) {
    *error = ec.message();
    return false;
  }
  for (const fs::path& name : names) {
    platform::FolderEntryState s;
    if (ReadEntryState(dir / name, &s)) out->push_back(std::move(s));
  }
  return true;
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

#include "sync/placeholder_provider.h"

#include <atomic>

#include "platform/file_attributes.h"

namespace zem {
namespace {

// The platform's provider: every call goes straight through.
class PlatformItem final : public OpenPlaceholder {
 public:
  platform::PlaceholderHandle& handle() { return handle_; }

  platform::Status ConvertToPlaceholder(std::string_view identity, bool mark_in_sync) override {
    return handle_.ConvertToPlaceholder(identity, mark_in_sync);
  }
  platform::Status UpdateIdentity(std::string_view identity, bool mark_in_sync) override {
    return handle_.UpdateIdentity(identity, mark_in_sync);
  }
  platform::Status SetInSyncState(bool in_sync) override {
    return handle_.SetInSyncState(in_sync);
  }
  platform::Status Repoint(std::string_view identity, int64_t size,
                            std::string_view content_sha256) override {
    return handle_.Repoint(identity, size, content_sha256);
  }
  platform::Status GetState(platform::PlaceholderState* state) override {
    return handle_.GetState(state);
  }

 private:
  platform::PlaceholderHandle handle_;
};

class PlatformProvider final : public PlaceholderProvider {
 public:
  platform::Status Open(const std::filesystem::path& path, bool delete_access,
                        std::unique_ptr<OpenPlaceholder>* item) override {
    item->reset();
    auto opened = std::make_unique<PlatformItem>();
    platform::Status status = opened->handle().Open(path, delete_access);
    if (status.ok()) *item = std::move(opened);
    return status;
  }
  platform::Status CreatePlaceholders(const std::filesystem::path& base,
                                       std::vector<platform::PlaceholderItem>& items) override {
    return platform::CreatePlaceholders(base, items);
  }
  platform::Status ReadFileAttributes(const std::filesystem::path& path,
                                      uint32_t* attributes) override {
    return platform::ReadFileAttributes(path, attributes);
  }
  platform::Status ReadEntryState(const std::filesystem::path& path,
                                  platform::FolderEntryState* out) override {
    return platform::ReadEntryState(path, out);
  }
  platform::Status ReadFolderStates(const std::filesystem::path& dir,
                                    std::vector<platform::FolderEntryState>* out) override {
    return platform::ReadFolderStates(dir, out);
  }
  std::error_code Rename(const std::filesystem::path& from,
                         const std::filesystem::path& to) override {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    return ec;
  }
};

std::atomic<PlaceholderProvider*> g_replacement{nullptr};

}  // namespace

PlaceholderProvider& Placeholders() {
  static PlatformProvider platform_provider;
  PlaceholderProvider* replacement = g_replacement.load();
  return replacement ? *replacement : platform_provider;
}

void SetPlaceholderProviderForTest(PlaceholderProvider* provider) {
  g_replacement.store(provider);
}

}  // namespace zem

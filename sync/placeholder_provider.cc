#include "sync/placeholder_provider.h"

#include <atomic>

#include "platform/file_attributes.h"

namespace zem {
namespace {

// The platform's provider: every call goes straight through.
class PlatformItem final : public OpenPlaceholder {
 public:
  platform::PlaceholderHandle& handle() { return handle_; }

  platform::Hresult ConvertToPlaceholder(std::string_view identity, bool mark_in_sync) override {
    return handle_.ConvertToPlaceholder(identity, mark_in_sync);
  }
  platform::Hresult UpdateIdentity(std::string_view identity, bool mark_in_sync) override {
    return handle_.UpdateIdentity(identity, mark_in_sync);
  }
  platform::Hresult SetInSyncState(bool in_sync) override {
    return handle_.SetInSyncState(in_sync);
  }
  platform::Hresult Repoint(std::string_view identity, int64_t size,
                            std::string_view content_sha256) override {
    return handle_.Repoint(identity, size, content_sha256);
  }
  platform::Hresult GetState(platform::PlaceholderState* state) override {
    return handle_.GetState(state);
  }

 private:
  platform::PlaceholderHandle handle_;
};

class PlatformProvider final : public PlaceholderProvider {
 public:
  uint32_t Open(const std::filesystem::path& path, bool delete_access,
                std::unique_ptr<OpenPlaceholder>* item) override {
    item->reset();
    auto opened = std::make_unique<PlatformItem>();
    const uint32_t err = opened->handle().Open(path, delete_access);
    if (err == 0) *item = std::move(opened);
    return err;
  }
  platform::Hresult CreatePlaceholders(const std::filesystem::path& base,
                                       std::vector<platform::PlaceholderItem>& items) override {
    return platform::CreatePlaceholders(base, items);
  }
  uint32_t ReadFileAttributes(const std::filesystem::path& path, uint32_t* attributes) override {
    return platform::ReadFileAttributes(path, attributes);
  }
  bool ReadEntryState(const std::filesystem::path& path,
                      platform::FolderEntryState* out) override {
    return platform::ReadEntryState(path, out);
  }
  bool ReadFolderStates(const std::filesystem::path& dir,
                        std::vector<platform::FolderEntryState>* out, std::string* error) override {
    return platform::ReadFolderStates(dir, out, error);
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

// The placeholder operations the engine uses, behind one small interface.
//
// The poll cycle, the change handlers, the upload workers, the placeholder
// helpers and the virtual roots reach the sync-root provider only through
// Placeholders() (hydration answers the provider's own fetch callback and
// keeps calling platform/ directly). The default instance is a thin mirror
// of platform/cloud_files.h and platform/folder_states.h: every method
// returns what the platform call of the same name returns. Tests put an
// in-memory provider in its place.
//
// Thread-safety: the default instance may be used from any thread at once;
// an open item is used by one thread at a time, as a PlaceholderHandle is.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/folder_states.h"

namespace zem {

// An item opened for placeholder operations (platform::PlaceholderHandle
// after a successful Open); closed when destroyed.
class OpenPlaceholder {
 public:
  virtual ~OpenPlaceholder() = default;
  virtual platform::Status ConvertToPlaceholder(std::string_view identity, bool mark_in_sync) = 0;
  virtual platform::Status UpdateIdentity(std::string_view identity, bool mark_in_sync) = 0;
  virtual platform::Status SetInSyncState(bool in_sync) = 0;
  virtual platform::Status Repoint(std::string_view identity, int64_t size,
                                    std::string_view content_sha256) = 0;
  virtual platform::Status GetState(platform::PlaceholderState* state) = 0;
};

class PlaceholderProvider {
 public:
  virtual ~PlaceholderProvider() = default;

  // PlaceholderHandle::Open: ok with the open item in *item, or the failure
  // with the OS error (*item then empty).
  virtual platform::Status Open(const std::filesystem::path& path, bool delete_access,
                                std::unique_ptr<OpenPlaceholder>* item) = 0;
  // platform::CreatePlaceholders.
  virtual platform::Status CreatePlaceholders(const std::filesystem::path& base,
                                               std::vector<platform::PlaceholderItem>& items) = 0;
  // platform::ReadFileAttributes: REPARSE_POINT marks a placeholder.
  virtual platform::Status ReadFileAttributes(const std::filesystem::path& path,
                                              uint32_t* attributes) = 0;
  // platform::ReadEntryState and platform::ReadFolderStates.
  virtual platform::Status ReadEntryState(const std::filesystem::path& path,
                                          platform::FolderEntryState* out) = 0;
  virtual platform::Status ReadFolderStates(const std::filesystem::path& dir,
                                            std::vector<platform::FolderEntryState>* out) = 0;
  // Renames an item of the sync root (std::filesystem::rename); a
  // placeholder keeps its identity and state under the new name, which the
  // provider carries along.
  virtual std::error_code Rename(const std::filesystem::path& from,
                                 const std::filesystem::path& to) = 0;
};

// The provider the engine works with: the platform's unless a test
// replaced it.
PlaceholderProvider& Placeholders();

// platform::PlaceholderHandle's calls on an item opened through
// Placeholders(). Not copyable; closes on destruction. A call on a handle
// that is not open fails with kHrInvalidKey, as the platform's does.
class ProviderHandle {
 public:
  platform::Status Open(const std::filesystem::path& path, bool delete_access) {
    item_.reset();
    return Placeholders().Open(path, delete_access, &item_);
  }
  bool is_open() const { return item_ != nullptr; }
  void Close() { item_.reset(); }

  platform::Status ConvertToPlaceholder(std::string_view identity, bool mark_in_sync) {
    return item_ ? item_->ConvertToPlaceholder(identity, mark_in_sync) : NotOpen();
  }
  platform::Status UpdateIdentity(std::string_view identity, bool mark_in_sync) {
    return item_ ? item_->UpdateIdentity(identity, mark_in_sync) : NotOpen();
  }
  platform::Status SetInSyncState(bool in_sync) {
    return item_ ? item_->SetInSyncState(in_sync) : NotOpen();
  }
  platform::Status Repoint(std::string_view identity, int64_t size,
                            std::string_view content_sha256 = {}) {
    return item_ ? item_->Repoint(identity, size, content_sha256) : NotOpen();
  }
  platform::Status GetState(platform::PlaceholderState* state) {
    return item_ ? item_->GetState(state) : NotOpen();
  }

 private:
  static platform::Status NotOpen() {
    return platform::StatusFromHresult("placeholder call on a handle that is not open",
                                       platform::kHrInvalidKey);
  }

  std::unique_ptr<OpenPlaceholder> item_;
};

}  // namespace zem

// A placeholder provider for fast tests: the files and folders are plain
// entries of an ordinary folder, the placeholder state of each is kept in
// memory, keyed by path.
//
// It keeps the promises the engine relies on: a write clears the in-sync
// state and makes the content local (found by the last-write time moving
// away from the one recorded when the state was last set), Repoint refuses
// a placeholder that is not in sync and drops the local content, a
// placeholder created by a batch has no local content, and Rename carries
// the state along. A record whose entry is gone (or became another kind) is
// forgotten when next looked at. Thread-safe (one lock).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sync/placeholder_provider.h"

namespace zem::testing {

class MemoryProvider final : public PlaceholderProvider {
 public:
  platform::Status Open(const std::filesystem::path& path, bool delete_access,
                        std::unique_ptr<OpenPlaceholder>* item) override;
  platform::Status CreatePlaceholders(const std::filesystem::path& base,
                                      std::vector<platform::PlaceholderItem>& items) override;
  platform::Status ReadFileAttributes(const std::filesystem::path& path,
                                      uint32_t* attributes) override;
  platform::Status ReadEntryState(const std::filesystem::path& path,
                                  platform::FolderEntryState* out) override;
  platform::Status ReadFolderStates(const std::filesystem::path& dir,
                                    std::vector<platform::FolderEntryState>* out) override;
  std::error_code Rename(const std::filesystem::path& from,
                         const std::filesystem::path& to) override;

  // The state of `path` as GetState reports it; nothing for a plain item.
  std::optional<platform::PlaceholderState> StateOf(const std::filesystem::path& path);

 private:
  class Item;
  struct Record {
    bool directory = false;
    std::string identity;
    bool in_sync = false;
    bool hydrated = false;
    int64_t size = 0;          // logical size while the content is not local
    int64_t write_ticks = 0;   // the file's last-write time when last set
  };

  static std::filesystem::path Key(const std::filesystem::path& path);
  // The record of `path` with local writes applied, or null.
  Record* FindLocked(const std::filesystem::path& path);
  // Records the file's current last-write time after a change of state.
  static void SettleLocked(const std::filesystem::path& path, Record& record);
  static platform::PlaceholderState StateLocked(const std::filesystem::path& path,
                                                const Record& record);

  std::mutex mu_;  // guards records_
  std::map<std::filesystem::path, Record> records_;
};

}  // namespace zem::testing

// A service for fast tests: an in-memory tree of folders and files with ids
// that answers the engine's calls as the cloud-disk service does (an
// upload makes a new id, a rename keeps it, a recycled file leaves its
// folder and shows in the recycle bin), changes the way the web would
// change it, fails the calls it is told to fail, and records every call.
// Names are UTF-8. Thread-safe (one lock).
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sync/service_api.h"

namespace zem::testing {

class ScriptedService final : public ServiceApi {
 public:
  struct Item {
    std::string id;
    std::string parent;  // the folder's id ("" for the documents root "0" itself)
    std::string name;
    bool folder = false;
    bool recycled = false;
    std::string content;  // files
  };

  ScriptedService();

  // Changes made on the web; each returns or takes the item's id.
  std::string AddFolder(std::string_view parent_id, std::string_view name);
  std::string AddFile(std::string_view parent_id, std::string_view name, std::string_view content);
  void RenameOnWeb(std::string_view id, std::string_view name);
  void MoveOnWeb(std::string_view id, std::string_view parent_id);
  void RecycleOnWeb(std::string_view id);

  // Fails the next `times` calls of `operation`: "list", "shared",
  // "recycle-list", "upload", "rename" or "recycle".
  void FailNext(std::string_view operation, int times = 1);

  // Every call in order: "list <folder>", "shared", "recycle-list",
  // "upload <folder> <name>", "rename <id> <name>", "recycle <id>"; a call
  // that failed ends in " FAILED".
  std::vector<std::string> Calls() const;
  // How many calls start with `prefix`.
  int CountCalls(std::string_view prefix) const;
  void ClearCalls();

  std::optional<Item> Find(std::string_view id) const;
  // The file of that name in the folder, not recycled.
  std::optional<Item> FindFile(std::string_view parent_id, std::string_view name) const;

  bool ListFolder(std::string_view parent_id, std::vector<FolderEntry>& folders,
                  std::vector<FileEntry>& files) override;
  bool ListSharedToMe(std::vector<FolderEntry>& folders, std::vector<FileEntry>& files) override;
  bool ListRecycleBin(std::vector<FileEntry>& entries) override;
  bool UploadSimple(const std::filesystem::path& local_path, std::u16string_view folder_id,
                    std::string& file_id, const UploadProgressCallback& progress) override;
  bool RenameFile(std::string_view file_id, std::u16string_view new_name) override;
  bool RecycleFile(std::string_view file_id) override;

 private:
  // Records the call and tells whether it is to fail.
  bool CallLocked(std::string_view operation, std::string line);
  std::string AddLocked(std::string_view parent_id, std::string_view name, bool folder,
                        std::string content);
  bool LiveFolderLocked(std::string_view id) const;
  static FileEntry FileEntryOf(const Item& item);

  mutable std::mutex mu_;  // guards everything below
  std::map<std::string, Item, std::less<>> items_;
  std::map<std::string, int, std::less<>> failures_;
  std::vector<std::string> calls_;
  int next_id_ = 1;
};

}  // namespace zem::testing

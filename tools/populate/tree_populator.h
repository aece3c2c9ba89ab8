// The depth-first walk that creates the placeholders of the whole remote
// tree: each folder is listed, its subfolders made as ordinary directories,
// its entries created as one placeholder batch, then its subfolders walked
// in listing order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "client/listing.h"
#include "platform/cloud_files.h"

namespace zem::populate {

// Lists one remote folder, appending its entries. False when the listing
// failed (the lister has printed why). Production: zem::ListFolder.
using ListFn = std::function<bool(const std::string& folder_id, std::vector<FolderEntry>& folders,
                                  std::vector<FileEntry>& files)>;

// Creates one folder's placeholders as a batch, setting each item's result.
// Production: platform::CreatePlaceholders.
using CreateFn = std::function<platform::Status(const std::filesystem::path& base,
                                                 std::vector<platform::PlaceholderItem>& items)>;

// How deep the walk goes below the sync root. A real tree is far shallower
// (Windows paths end long before); a service that nests folders without end
// is stopped here instead of filling the disk.
inline constexpr int kMaxDepth = 128;

class TreePopulator {
 public:
  explicit TreePopulator(ListFn list, CreateFn create = nullptr);

  // Walks the tree below `local` (remote folder `folder_id`). True when no
  // folder failed: every listing was made and scanned and placeholders could
  // be attempted. A failing folder is reported and not descended into; its
  // siblings are still walked. A folder whose id is already on the path from
  // the root (the service lists a folder inside itself) and a folder deeper
  // than kMaxDepth are failures too, reported and not descended into.
  // Without a placeholder platform the walk stops at the first batch.
  bool PopulateFolder(const std::filesystem::path& local, const std::string& folder_id);

  // Totals over the walk, for tests and the benchmark.
  int64_t created() const { return created_; }
  int64_t skipped() const { return skipped_; }
  bool provider_unavailable() const { return provider_unavailable_; }

 private:
  bool Walk(const std::filesystem::path& local, const std::string& folder_id);

  ListFn list_;
  CreateFn create_;
  std::vector<std::string> path_ids_;  // folder ids from the root to the current folder
  int64_t created_ = 0;
  int64_t skipped_ = 0;
  bool provider_unavailable_ = false;
};

// True when the service's name can be used as one local name: not empty,
// not "." or "..", and without a path separator ("/" or "\") or NUL.
bool IsUsableLocalName(const std::u16string& name);

}  // namespace zem::populate

// The depth-first walk that creates the placeholders of the whole remote
// tree: each folder is listed, its subfolders made as ordinary directories,
// its entries created as one placeholder batch, then its subfolders walked
// in listing order.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace zem::populate {

// Lists one remote folder: POSTs the folder/list body for `folder_id` and
// stores the answer. False when the exchange failed.
using ListFn = std::function<bool(const std::string& folder_id, std::string& answer)>;

class TreePopulator {
 public:
  explicit TreePopulator(ListFn list) : list_(std::move(list)) {}

  // Walks the tree below `local` (remote folder `folder_id`). True when no
  // folder failed: every listing was made and scanned and placeholders could
  // be attempted. A failing folder is reported and not descended into; its
  // siblings are still walked. Without a placeholder platform the walk stops
  // at the first batch.
  bool PopulateFolder(const std::filesystem::path& local, const std::string& folder_id);

  // Totals over the walk, for tests and the benchmark.
  int64_t created() const { return created_; }
  int64_t skipped() const { return skipped_; }
  bool provider_unavailable() const { return provider_unavailable_; }

 private:
  ListFn list_;
  int64_t created_ = 0;
  int64_t skipped_ = 0;
  bool provider_unavailable_ = false;
};

// True when the service's name can be used as one local name: not empty,
// not "." or "..", and without a path separator ("/" or "\") or NUL.
bool IsUsableLocalName(const std::u16string& name);

// The folder/list request body: {"parent_id":"<id>","owner_type":1}, the id
// inserted as it is.
std::string FolderListBody(const std::string& folder_id);

}  // namespace zem::populate

#include "tests/support/scripted_service.h"

#include <fstream>
#include <iterator>

#include "common/cat.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace zem::testing {

ScriptedService::ScriptedService() {
  items_["0"] = Item{"0", "", "", /*folder=*/true, false, ""};
}

std::string ScriptedService::AddLocked(std::string_view parent_id, std::string_view name,
                                       bool folder, std::string content) {
  std::string id = Cat(folder ? "d" : "f", next_id_++);
  items_[id] = Item{id, std::string(parent_id), std::string(name), folder, false,
                    std::move(content)};
  return id;
}

std::string ScriptedService::AddFolder(std::string_view parent_id, std::string_view name) {
  std::lock_guard lock(mu_);
  return AddLocked(parent_id, name, true, "");
}

std::string ScriptedService::AddFile(std::string_view parent_id, std::string_view name,
                                     std::string_view content) {
  std::lock_guard lock(mu_);
  return AddLocked(parent_id, name, false, std::string(content));
}

void ScriptedService::RenameOnWeb(std::string_view id, std::string_view name) {
  std::lock_guard lock(mu_);
  items_.find(id)->second.name = name;
}

void ScriptedService::MoveOnWeb(std::string_view id, std::string_view parent_id) {
  std::lock_guard lock(mu_);
  items_.find(id)->second.parent = parent_id;
}

void ScriptedService::RecycleOnWeb(std::string_view id) {
  std::lock_guard lock(mu_);
  items_.find(id)->second.recycled = true;
}

void ScriptedService::FailNext(std::string_view operation, int times) {
  std::lock_guard lock(mu_);
  failures_[std::string(operation)] = times;
}

std::vector<std::string> ScriptedService::Calls() const {
  std::lock_guard lock(mu_);
  return calls_;
}

int ScriptedService::CountCalls(std::string_view prefix) const {
  std::lock_guard lock(mu_);
  int n = 0;
  for (const std::string& c : calls_) n += c.rfind(prefix, 0) == 0;
  return n;
}

void ScriptedService::ClearCalls() {
  std::lock_guard lock(mu_);
  calls_.clear();
}

std::optional<ScriptedService::Item> ScriptedService::Find(std::string_view id) const {
  std::lock_guard lock(mu_);
  const auto it = items_.find(id);
  if (it == items_.end()) return std::nullopt;
  return it->second;
}

std::optional<ScriptedService::Item> ScriptedService::FindFile(std::string_view parent_id,
                                                               std::string_view name) const {
  std::lock_guard lock(mu_);
  for (const auto& [id, item] : items_) {
    if (!item.folder && !item.recycled && item.parent == parent_id && item.name == name) {
      return item;
    }
  }
  return std::nullopt;
}

bool ScriptedService::CallLocked(std::string_view operation, std::string line) {
  const auto it = failures_.find(operation);
  const bool fail = it != failures_.end() && it->second > 0;
  if (fail) --it->second;
  calls_.push_back(fail ? line + " FAILED" : std::move(line));
  return !fail;
}

bool ScriptedService::LiveFolderLocked(std::string_view id) const {
  const auto it = items_.find(id);
  return it != items_.end() && it->second.folder && !it->second.recycled;
}

FileEntry ScriptedService::FileEntryOf(const Item& item) {
  return FileEntry{item.id, platform::Utf8ToWide(item.name),
                   static_cast<int64_t>(item.content.size()),
                   platform::Sha256HexOf(item.content)};
}

bool ScriptedService::ListFolder(std::string_view parent_id, std::vector<FolderEntry>& folders,
                                 std::vector<FileEntry>& files) {
  std::lock_guard lock(mu_);
  if (!CallLocked("list", Cat("list ", parent_id)) || !LiveFolderLocked(parent_id)) return false;
  for (const auto& [id, item] : items_) {
    if (item.recycled || item.parent != parent_id || id == "0") continue;
    if (item.folder) {
      folders.push_back(FolderEntry{item.id, platform::Utf8ToWide(item.name)});
    } else {
      files.push_back(FileEntryOf(item));
    }
  }
  return true;
}

bool ScriptedService::ListSharedToMe(std::vector<FolderEntry>&, std::vector<FileEntry>&) {
  std::lock_guard lock(mu_);
  return CallLocked("shared", "shared");  // nothing is shared with this user
}

bool ScriptedService::ListRecycleBin(std::vector<FileEntry>& entries) {
  std::lock_guard lock(mu_);
  if (!CallLocked("recycle-list", "recycle-list")) return false;
  for (const auto& [id, item] : items_) {
    if (item.recycled && !item.folder) entries.push_back(FileEntryOf(item));
  }
  return true;
}

bool ScriptedService::UploadSimple(const std::filesystem::path& local_path,
                                   std::u16string_view folder_id, std::string& file_id,
                                   const UploadProgressCallback& progress) {
  std::ifstream in(local_path, std::ios::binary);
  std::string content(std::istreambuf_iterator<char>(in), {});
  const std::string folder = platform::WideToUtf8(folder_id);
  const std::string name = platform::PathToUtf8(local_path.filename());
  {
    std::lock_guard lock(mu_);
    if (!CallLocked("upload", Cat("upload ", folder, " ", name)) || !in ||
        !LiveFolderLocked(folder)) {
      return false;
    }
    file_id = AddLocked(folder, name, false, content);
  }
  if (progress) {
    progress(0, content.size());
    progress(content.size(), content.size());
  }
  return true;
}

bool ScriptedService::RenameFile(std::string_view file_id, std::u16string_view new_name) {
  std::lock_guard lock(mu_);
  const std::string name = platform::WideToUtf8(new_name);
  if (!CallLocked("rename", Cat("rename ", file_id, " ", name))) return false;
  const auto it = items_.find(file_id);
  if (it == items_.end() || it->second.recycled) return false;
  it->second.name = name;
  return true;
}

bool ScriptedService::RecycleFile(std::string_view file_id) {
  std::lock_guard lock(mu_);
  if (!CallLocked("recycle", Cat("recycle ", file_id))) return false;
  const auto it = items_.find(file_id);
  if (it == items_.end() || it->second.recycled || it->second.folder) return false;
  it->second.recycled = true;
  return true;
}

}  // namespace zem::testing

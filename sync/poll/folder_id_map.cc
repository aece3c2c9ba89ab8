#include "sync/poll/folder_id_map.h"

#include <map>
#include <mutex>

namespace zem {
namespace {
std::mutex g_folder_map_lock;  // folderMapLock
std::map<std::filesystem::path, std::string> g_map;

bool IsSameOrBelow(const std::filesystem::path& p, const std::filesystem::path& dir) {
  auto d = dir.begin();
  auto q = p.begin();
  for (; d != dir.end(); ++d, ++q) {
    if (q == p.end() || *q != *d) return false;
  }
  return true;
}
}  // namespace

void SetFolderId(const std::filesystem::path& dir, std::string_view folder_id) {
  std::lock_guard lock(g_folder_map_lock);
  g_map[dir] = std::string(folder_id);
}

std::optional<std::string> FindFolderId(const std::filesystem::path& dir) {
  std::lock_guard lock(g_folder_map_lock);
  auto it = g_map.find(dir);
  if (it == g_map.end()) return std::nullopt;
  return it->second;
}

std::filesystem::path FindFolderPath(std::string_view folder_id) {
  std::lock_guard lock(g_folder_map_lock);
  for (const auto& [dir, id] : g_map) {
    if (id == folder_id) return dir;
  }
  return {};
}

void ForgetFolderTree(const std::filesystem::path& dir) {
  std::lock_guard lock(g_folder_map_lock);
  for (auto it = g_map.begin(); it != g_map.end();) {
    it = IsSameOrBelow(it->first, dir) ? g_map.erase(it) : std::next(it);
  }
}

void ResetFolderIdMapForTest() {
  std::lock_guard lock(g_folder_map_lock);
  g_map.clear();
}

}  // namespace zem

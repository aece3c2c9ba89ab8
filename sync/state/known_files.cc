#include "sync/state/known_files.h"

#include <mutex>
#include <set>

#include "common/atomic_file.h"
#include "common/cat.h"
#include "common/config.h"
#include "platform/text.h"
#include "sync/state/state_text.h"

namespace zem {
namespace {

std::mutex g_known_lock;  // knownFilesLock: everything below
std::mutex g_save_lock;   // one writer of the files at a time
std::map<std::string, std::string> g_known;  // id → UTF-8 local path ("" unknown)
std::set<std::string> g_pending_moves;
std::filesystem::path g_ids_file, g_paths_file;
bool g_ids_changed = false, g_paths_changed = false;

}  // namespace

void ParseKnownIds(std::string_view text, std::map<std::string, std::string>& out) {
  for (std::string_view line : SplitStateLines(text)) {
    if (!line.empty()) out.try_emplace(std::string(line));
  }
}

void ParseKnownPaths(std::string_view text, std::map<std::string, std::string>& out) {
  for (std::string_view line : SplitStateLines(text)) {
    const size_t bar = line.find('|');
    if (bar == 0 || bar == std::string_view::npos || bar + 1 == line.size()) continue;
    out[std::string(line.substr(0, bar))] = std::string(line.substr(bar + 1));
  }
}

void LoadKnownFiles() {
  const auto ids_file = StateFilePath("known_files.txt");
  const auto paths_file = StateFilePath("known_paths.txt");
  std::error_code ec;
  std::filesystem::create_directories(ids_file.parent_path(), ec);
  std::string ids_text, paths_text;
  const bool have_ids = ReadWholeFile(ids_file, &ids_text);
  const bool have_paths = ReadWholeFile(paths_file, &paths_text);
  std::map<std::string, std::string> paths;
  if (have_paths) ParseKnownPaths(paths_text, paths);
  std::lock_guard lock(g_known_lock);
  g_ids_file = ids_file;
  g_paths_file = paths_file;
  if (have_ids) ParseKnownIds(ids_text, g_known);
  for (auto& [id, path] : paths) {
    auto it = g_known.find(id);
    if (it != g_known.end()) it->second = std::move(path);  // paths of forgotten ids are dropped
  }
  g_ids_changed = g_paths_changed = false;
}

void SaveKnownFiles() {
  std::lock_guard save(g_save_lock);
  std::string ids, paths;
  std::filesystem::path ids_file, paths_file;
  bool write_ids, write_paths;
  {
    std::lock_guard lock(g_known_lock);
    if (g_ids_file.empty()) return;
    write_ids = g_ids_changed;
    write_paths = g_paths_changed;
    if (!write_ids && !write_paths) return;
    for (const auto& [id, path] : g_known) {
      if (write_ids) AppendStateLine(ids, id);
      if (write_paths && !path.empty()) AppendStateLine(paths, Cat(id, "|", path));
    }
    ids_file = g_ids_file;
    paths_file = g_paths_file;
    g_ids_changed = g_paths_changed = false;
  }
  const bool ids_ok = !write_ids || WriteFileAtomically(ids_file, ids);
  const bool paths_ok = !write_paths || WriteFileAtomically(paths_file, paths);
  if (!ids_ok || !paths_ok) {
    std::lock_guard lock(g_known_lock);
    g_ids_changed |= !ids_ok;
    g_paths_changed |= !paths_ok;
  }
}

bool IsKnownFile(std::string_view id) {
  std::lock_guard lock(g_known_lock);
  return g_known.find(std::string(id)) != g_known.end();
}

void AddKnownFile(std::string_view id, const std::filesystem::path& local_path) {
  std::string path = platform::PathToUtf8(local_path);
  std::lock_guard lock(g_known_lock);
  auto [it, inserted] = g_known.try_emplace(std::string(id), path);
  if (inserted) {
    g_ids_changed = true;
    g_paths_changed |= !path.empty();
  } else if (it->second != path && !path.empty()) {
    it->second = std::move(path);
    g_paths_changed = true;
  }
}

void MoveKnownFilesUnder(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::lock_guard lock(g_known_lock);
  for (auto& [id, path] : g_known) {
    if (path.empty()) continue;
    const std::filesystem::path rel = platform::PathFromUtf8(path).lexically_relative(from);
    if (rel.empty() || *rel.begin() == "..") continue;
    path = platform::PathToUtf8(to / rel);
    g_paths_changed = true;
  }
}

void ForgetKnownFile(std::string_view id) {
  std::lock_guard lock(g_known_lock);
  auto it = g_known.find(std::string(id));
  if (it == g_known.end()) return;
  g_paths_changed |= !it->second.empty();
  g_known.erase(it);
  g_ids_changed = true;
  g_pending_moves.erase(std::string(id));
}

std::filesystem::path KnownFilePath(std::string_view id) {
  std::lock_guard lock(g_known_lock);
  auto it = g_known.find(std::string(id));
  if (it == g_known.end() || it->second.empty()) return {};
  return platform::PathFromUtf8(it->second);
}

size_t KnownFileCount() {
  std::lock_guard lock(g_known_lock);
  return g_known.size();
}

std::vector<std::string> KnownFileIdList() {
  std::lock_guard lock(g_known_lock);
  std::vector<std::string> ids;
  ids.reserve(g_known.size());
  for (const auto& [id, path] : g_known) ids.push_back(id);
  return ids;
}

void SetLocalMovePending(std::string_view id, bool pending) {
  std::lock_guard lock(g_known_lock);
  if (pending) {
    g_pending_moves.emplace(id);
  } else {
    g_pending_moves.erase(std::string(id));
  }
}

bool IsLocalMovePending(std::string_view id) {
  std::lock_guard lock(g_known_lock);
  return g_pending_moves.count(std::string(id)) != 0;
}

void ResetKnownFilesForTest() {
  std::lock_guard lock(g_known_lock);
  g_known.clear();
  g_pending_moves.clear();
  g_ids_file.clear();
  g_paths_file.clear();
  g_ids_changed = g_paths_changed = false;
}

}  // namespace zem

#include "sync/state/dirty_cache.h"

#include <chrono>
#include <mutex>

#include "common/atomic_file.h"
#include "common/cat.h"
#include "common/config.h"
#include "platform/text.h"
#include "sync/state/state_text.h"

namespace zem {
namespace {

std::mutex g_state_lock;   // stateLock: the map, the path and the changed flag
std::mutex g_save_lock;    // one writer of the file at a time
DirtyMap g_map;
std::filesystem::path g_file;
bool g_changed = false;

std::u16string Key(const std::filesystem::path& path) {
  return platform::Utf8ToWide(platform::PathToUtf8(path));
}

}  // namespace

void ParseDirtyCache(std::string_view text, DirtyMap& out) {
  for (std::string_view line : SplitStateLines(text)) {
    const size_t first = line.find('|');
    const size_t last = line.rfind('|');
    if (first == std::string_view::npos || first == last) continue;
    int64_t mtime = 0;
    if (!ParseLeadingInt64(line.substr(first + 1, last - first - 1), &mtime)) continue;
    out[platform::Utf8ToWide(line.substr(0, first))] =
        DirtyEntry{mtime, std::string(line.substr(last + 1))};
  }
}

std::string FormatDirtyCache(const DirtyMap& map) {
  std::string out;
  for (const auto& [path, entry] : map) {
    AppendStateLine(out, Cat(platform::WideToUtf8(path), "|", entry.mtime, "|", entry.sha256));
  }
  return out;
}

void LoadDirtyCache() {
  const auto file = StateFilePath("dirty_cache.txt");
  std::string text;
  const bool read = ReadWholeFile(file, &text);
  std::lock_guard lock(g_state_lock);
  g_file = file;
  if (read) ParseDirtyCache(text, g_map);
  g_changed = false;
}

void SaveDirtyCache() {
  std::lock_guard save(g_save_lock);
  std::string text;
  std::filesystem::path file;
  {
    std::lock_guard lock(g_state_lock);
    if (g_file.empty() || !g_changed) return;
    text = FormatDirtyCache(g_map);
    file = g_file;
    g_changed = false;
  }
  if (!WriteFileAtomically(file, text)) {
    std::lock_guard lock(g_state_lock);
    g_changed = true;  // try again at the next save
  }
}

std::optional<DirtyEntry> FindDirtyEntry(const std::filesystem::path& path) {
  const auto key = Key(path);
  std::lock_guard lock(g_state_lock);
  auto it = g_map.find(key);
  if (it == g_map.end()) return std::nullopt;
  return it->second;
}

void SetDirtyEntry(const std::filesystem::path& path, DirtyEntry entry) {
  auto key = Key(path);
  // The time is kept to the second: a hash of a file written in the last
  // second or two could be followed by another write within the same
  // second, which the time would not show, and the old hash would then stand
  // for the new bytes. Such a file is hashed again next time instead.
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  if (entry.mtime >= now - 1) {
    EraseDirtyEntry(path);
    return;
  }
  std::lock_guard lock(g_state_lock);
  auto [it, inserted] = g_map.try_emplace(std::move(key), entry);
  if (!inserted) {
    if (it->second == entry) return;
    it->second = std::move(entry);
  }
  g_changed = true;
}

void EraseDirtyEntry(const std::filesystem::path& path) {
  const auto key = Key(path);
  std::lock_guard lock(g_state_lock);
  if (g_map.erase(key)) g_changed = true;
}

void MoveDirtyEntry(const std::filesystem::path& from, const std::filesystem::path& to) {
  const auto from_key = Key(from);
  auto to_key = Key(to);
  std::lock_guard lock(g_state_lock);
  auto it = g_map.find(from_key);
  if (it == g_map.end()) return;
  DirtyEntry entry = std::move(it->second);
  g_map.erase(it);
  g_map[std::move(to_key)] = std::move(entry);
  g_changed = true;
}

void ResetDirtyCacheForTest() {
  std::lock_guard lock(g_state_lock);
  g_map.clear();
  g_file.clear();
  g_changed = false;
}

}  // namespace zem

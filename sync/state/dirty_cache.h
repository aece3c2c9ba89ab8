// DirtyCache: for each local file the agent hashed or uploaded, its
// last-write time (seconds since 1970) and the SHA-256 of its content at
// that time, so unchanged files are neither hashed nor uploaded again.
// Saved in dirty_cache.txt: "<utf-8 path>|<mtime>|<sha256>" per line.
//
// One lock (stateLock) guards the map; every function takes it itself and
// none calls out while holding it. Thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace zem {

struct DirtyEntry {
  int64_t mtime = 0;
  std::string sha256;  // 64 lower-case hex digits; empty: no cached hash
  bool operator==(const DirtyEntry&) const = default;
};

using DirtyMap = std::map<std::u16string, DirtyEntry>;  // UTF-16 path → entry

// Reads dirty_cache.txt from the app-data folder (nothing when it is
// missing); remembers the path for SaveDirtyCache.
void LoadDirtyCache();
// Writes the file when the map changed since the last load or save
// (atomically: temporary file + rename).
void SaveDirtyCache();

std::optional<DirtyEntry> FindDirtyEntry(const std::filesystem::path& path);
// An entry whose time is not yet two seconds old is not kept (any entry of
// the path is dropped instead): a write later in the same second would not
// change the time.
void SetDirtyEntry(const std::filesystem::path& path, DirtyEntry entry);
void EraseDirtyEntry(const std::filesystem::path& path);
// Moves the entry of `from` (if any) to `to`.
void MoveDirtyEntry(const std::filesystem::path& from, const std::filesystem::path& to);

// The file format, exposed for tests. Parsing skips lines without two bars
// and lines whose middle field does not start with a number; a later line
// for the same path wins.
void ParseDirtyCache(std::string_view text, DirtyMap& out);
std::string FormatDirtyCache(const DirtyMap& map);

}  // namespace zem

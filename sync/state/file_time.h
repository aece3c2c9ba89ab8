// The last-write time of a file in whole seconds since 1970, as DirtyCache
// stores it; 0 when it cannot be read.
#pragma once

#include <cstdint>
#include <filesystem>

namespace zem {

int64_t FileModifiedTime(const std::filesystem::path& path);

// The last-write time in FILETIME ticks (100 ns), 0 when it cannot be read:
// precise enough to tell a write in the same second as an earlier look.
int64_t FileWriteTicks(const std::filesystem::path& path);
int64_t SecondsFromWriteTicks(int64_t ticks);

}  // namespace zem

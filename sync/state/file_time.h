// The last-write time of a file in whole seconds since 1970, as DirtyCache
// stores it; 0 when it cannot be read.
#pragma once

#include <cstdint>
#include <filesystem>

namespace zem {

int64_t FileModifiedTime(const std::filesystem::path& path);

}  // namespace zem

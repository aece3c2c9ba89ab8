#include "sync/state/file_time.h"

#include "platform/file_attributes.h"

namespace zem {

int64_t FileWriteTicks(const std::filesystem::path& path) {
  int64_t filetime = 0;
  return platform::ReadLastWriteTime(path, &filetime).ok() ? filetime : 0;
}

int64_t SecondsFromWriteTicks(int64_t ticks) {
  return ticks == 0 ? 0 : ticks / 10'000'000 - 11'644'473'600LL;
}

int64_t FileModifiedTime(const std::filesystem::path& path) {
  return SecondsFromWriteTicks(FileWriteTicks(path));
}

}  // namespace zem

#include "sync/state/file_time.h"

#include "platform/file_attributes.h"

namespace zem {

int64_t FileModifiedTime(const std::filesystem::path& path) {
  int64_t filetime = 0;
  if (platform::ReadLastWriteTime(path, &filetime) != 0) return 0;
  return filetime / 10'000'000 - 11'644'473'600LL;
}

}  // namespace zem

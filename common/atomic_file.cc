#include "common/atomic_file.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <system_error>

#include "common/cat.h"
#include "platform/file_attributes.h"
#include "platform/process.h"

namespace zem {

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content) {
  static std::atomic<uint64_t> counter{0};
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);  // a failure shows at the open
  auto tmp = path;
  tmp += Cat(".", platform::CurrentProcessId(), ".", counter.fetch_add(1), ".tmp");
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) {
      out.close();
      std::filesystem::remove(tmp, ec);
      return false;
    }
  }
  if (platform::MoveReplacing(tmp, path) != 0) {
    std::filesystem::remove(tmp, ec);
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::filesystem::path& path, std::string* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content->assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

}  // namespace zem

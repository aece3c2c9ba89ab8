#include "common/atomic_file.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <system_error>

#include "common/cat.h"
#include "platform/file_attributes.h"
#include "platform/private_files.h"
#include "platform/process.h"

namespace zem {

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content) {
  static std::atomic<uint64_t> counter{0};
  std::error_code ec;
  // State files live in the app-data folder: private to the user, whatever
  // the umask. A failure to create the folder shows at the write.
  platform::EnsurePrivateDirectory(path.parent_path());
  auto tmp = path;
  tmp += Cat(".", platform::CurrentProcessId(), ".", counter.fetch_add(1), ".tmp");
  if (!platform::WritePrivateFile(tmp, content).ok()) {
    std::filesystem::remove(tmp, ec);
    return false;
  }
  if (!platform::MoveReplacing(tmp, path).ok()) {
    std::filesystem::remove(tmp, ec);
    return false;
  }
  return true;
}

bool AppendToFile(const std::filesystem::path& path, std::string_view text) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!out) return false;
  // The stream hands the text to the system in one write at close (it fits
  // the buffer, or a longer text is written straight through).
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return !out.fail();
}

bool ReadWholeFile(const std::filesystem::path& path, std::string* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content->assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

}  // namespace zem

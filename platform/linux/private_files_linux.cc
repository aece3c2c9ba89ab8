#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/private_files.h"

namespace zem::platform {
namespace {

Status Failure(const char* what, const std::filesystem::path& path, int err) {
  if (err == 0) return Status();
  return StatusFromOsError(std::string(what) + " " + path.string(), static_cast<uint32_t>(err));
}

}  // namespace

Status MakePrivate(const std::filesystem::path& path) {
  struct stat st{};
  constexpr const char* kWhat = "make private";
  if (::lstat(path.c_str(), &st) != 0) return Failure(kWhat, path, errno);
  if (S_ISLNK(st.st_mode)) return Status();  // a link's own mode means nothing
  if ((st.st_mode & 077) == 0) return Status();
  if (::chmod(path.c_str(), st.st_mode & 07700) != 0) return Failure(kWhat, path, errno);
  return Status();
}

Status EnsurePrivateDirectory(const std::filesystem::path& dir) {
  constexpr const char* kWhat = "create private folder";
  if (dir.empty()) return Failure(kWhat, dir, ENOENT);
  // The levels that do not exist yet, outermost first.
  std::vector<std::filesystem::path> missing;
  std::error_code ec;
  for (auto p = dir; !p.empty() && !std::filesystem::exists(p, ec); p = p.parent_path()) {
    missing.insert(missing.begin(), p);
    if (p == p.parent_path()) break;
  }
  for (const auto& p : missing) {
    if (::mkdir(p.c_str(), 0700) != 0 && errno != EEXIST) return Failure(kWhat, p, errno);
    // mkdir's mode is cut by the umask, never widened.
    if (::chmod(p.c_str(), 0700) != 0) return Failure(kWhat, p, errno);
  }
  if (!std::filesystem::is_directory(dir, ec)) return Failure(kWhat, dir, ENOTDIR);
  return MakePrivate(dir);
}

Status WritePrivateFile(const std::filesystem::path& path, std::string_view content,
                        bool* opened) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (opened) *opened = fd >= 0;
  if (fd < 0) return Failure("open", path, errno);
  int err = 0;
  struct stat st{};
  // An existing file keeps its mode through O_TRUNC; a regular file of ours
  // is made private (a device such as /dev/null is left alone).
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != 0600 &&
      ::fchmod(fd, 0600) != 0) {
    err = errno;
  }
  const char* p = content.data();
  size_t left = content.size();
  while (err == 0 && left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (err == 0 && ::fsync(fd) != 0 && errno != EINVAL) err = errno;  // EINVAL: cannot be synced
  if (::close(fd) != 0 && err == 0) err = errno;
  return Failure("write", path, err);
}

}  // namespace zem::platform

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_attributes.h"
#include "platform/linux/cloud_files_xattrs.h"

namespace zem::platform {
namespace {

constexpr uint32_t kXattrBits =
    kFileAttributeReadonly | kFileAttributeHidden | kFileAttributeSystem | kFileAttributeTemporary;

class PathFd {
 public:
  explicit PathFd(const std::filesystem::path& p)
      : fd_(open(p.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)) {}
  ~PathFd() { if (fd_ >= 0) close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};

// The failure of `what` on `path` with `err` (0: ok).
Status Failure(const char* what, const std::filesystem::path& path, int err) {
  if (err == 0) return Status();
  return StatusFromOsError(std::string(what) + " " + path.string(), static_cast<uint32_t>(err));
}

}  // namespace

Status ReadFileAttributes(const std::filesystem::path& path, uint32_t* attributes) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Failure("read attributes of", path, errno);
  uint32_t a = 0;
  if (S_ISLNK(st.st_mode)) {
    a |= kFileAttributeReparsePoint;
  } else {
    if (S_ISDIR(st.st_mode)) a |= kFileAttributeDirectory;
    else if ((st.st_mode & S_IWUSR) == 0) a |= kFileAttributeReadonly;
    PathFd fd(path);
    if (fd.get() >= 0) {
      std::string id;
      if (fusefs::GetXattr(fd.get(), fusefs::kXattrIdentity, &id) == 0) {
        a |= kFileAttributeReparsePoint;
      }
      a |= static_cast<uint32_t>(fusefs::GetXattrNumber(fd.get(), fusefs::kXattrAttributes, 0)) &
           kXattrBits;
    }
  }
  *attributes = a == 0 ? kFileAttributeNormal : a;
  return Status();
}

Status WriteFileAttributes(const std::filesystem::path& path, uint32_t attributes) {
  struct stat st;
  constexpr const char* kWhat = "write attributes of";
  if (lstat(path.c_str(), &st) != 0) return Failure(kWhat, path, errno);
  if (S_ISLNK(st.st_mode)) return Status();  // links carry no attributes of their own
  PathFd fd(path);
  if (fd.get() < 0) return Failure(kWhat, path, errno);
  std::string id;
  const bool placeholder = fusefs::GetXattr(fd.get(), fusefs::kXattrIdentity, &id) == 0;
  uint32_t bits = attributes & kXattrBits;
  // Read-only of a plain file is its mode; of a placeholder (or a folder,
  // where the mode would lock out its content) the recorded bit.
  if (!placeholder && !S_ISDIR(st.st_mode)) {
    const mode_t mode = (attributes & kFileAttributeReadonly)
                            ? st.st_mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)
                            : st.st_mode | S_IWUSR;
    if ((mode & 07777) != (st.st_mode & 07777) && chmod(path.c_str(), mode & 07777) != 0) {
      return Failure(kWhat, path, errno);
    }
    bits &= ~kFileAttributeReadonly;
  }
  if (bits == 0) return Failure(kWhat, path, fusefs::RemoveXattr(fd.get(), fusefs::kXattrAttributes));
  return Failure(kWhat, path, fusefs::SetXattrNumber(fd.get(), fusefs::kXattrAttributes, bits));
}

Status ReadLastWriteTime(const std::filesystem::path& path, int64_t* filetime) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Failure("read last-write time of", path, errno);
  *filetime = FileTimeFromUnixNanos(static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                                    st.st_mtim.tv_nsec);
  return Status();
}

Status WriteLastWriteTime(const std::filesystem::path& path, int64_t filetime) {
  const int64_t ns = UnixNanosFromFileTime(filetime);
  struct timespec times[2] = {{0, UTIME_OMIT}, {}};
  times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
  times[1].tv_nsec = static_cast<long>(ns % 1000000000);
  if (times[1].tv_nsec < 0) {
    times[1].tv_nsec += 1000000000;
    times[1].tv_sec -= 1;
  }
  return Failure("write last-write time of", path,
                 utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 ? 0 : errno);
}

Status MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (rename(from.c_str(), to.c_str()) == 0) return Status();
  const int err = errno;
  return StatusFromOsError("move " + from.string() + " to " + to.string(),
                           static_cast<uint32_t>(err));
}

int64_t CurrentFileTime() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return FileTimeFromUnixNanos(static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec);
}

}  // namespace zem::platform

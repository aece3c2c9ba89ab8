// A folder of a connected sync root is read from the folder under the mount:
// the provider keeps every file there with its placeholder attributes, so
// one pass over the backing folder answers what would otherwise take several
// requests per entry through the mount, each served by this very process.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_attributes.h"
#include "platform/folder_states.h"
#include "platform/linux/cloud_files_xattrs.h"
#include "platform/linux/fuse_sync_root.h"

namespace zem::platform {
namespace {

using fusefs::FuseSyncRoot;

constexpr uint32_t kXattrBits =
    kFileAttributeReadonly | kFileAttributeHidden | kFileAttributeSystem | kFileAttributeTemporary;

int64_t FileTimeOf(const struct timespec& ts) {
  return FileTimeFromUnixNanos(static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec);
}

// An entry's descriptor for the attribute calls: read-only for files and
// folders (the f*xattr calls then work without a path lookup), O_PATH for
// anything else (opening a device or a pipe could have effects) or when the
// entry cannot be read.
int OpenEntry(int dir_fd, const char* name, mode_t mode) {
  int fd = -1;
  if (S_ISREG(mode) || S_ISDIR(mode)) {
    fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }
  if (fd < 0) fd = openat(dir_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  return fd;
}

enum class Outcome { kDone, kFailed, kElsewhere };

// One backing entry as ReadEntryState reports it through the mount. False
// when the entry is gone. `rel` is the entry's path relative to the root.
bool ReadBackingEntry(FuseSyncRoot& root, int dir_fd, const char* name, const std::string& rel,
                      const std::filesystem::path& dir, FolderEntryState* out) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    // A link's time is its target's, which may lie anywhere: the generic way.
    return ReadEntryState(dir / name, out);
  }
  const int fd = OpenEntry(dir_fd, name, st.st_mode);
  if (fd < 0) return false;
  fusefs::PlaceholderXattrs x;
  if (fusefs::ReadPlaceholderXattrs(fd, &x) != 0) {
    close(fd);
    return ReadEntryState(dir / name, out);
  }
  const bool file = S_ISREG(st.st_mode);
  // What the mount does at the first access of a file holding content while
  // its content is marked remote, with no fetch running (a cut-off fetch, or
  // content written while nothing was mounted). The kernel's copy of the
  // entry is dropped, as every change of a placeholder behind it is.
  if (x.is_placeholder && x.content_remote && file && st.st_size != 0 &&
      !root.hydration().InFlight(st.st_ino)) {
    fusefs::SettleLeftover(fd);
    root.Invalidate(("/" + rel).c_str());
    if (fstat(fd, &st) != 0 || fusefs::ReadPlaceholderXattrs(fd, &x) != 0) {
      close(fd);
      return ReadEntryState(dir / name, out);
    }
  }
  close(fd);

  FolderEntryState e;
  e.name = name;
  e.is_directory = S_ISDIR(st.st_mode);
  uint32_t a = 0;
  if (e.is_directory) {
    a |= kFileAttributeDirectory;
  } else if ((st.st_mode & S_IWUSR) == 0) {
    a |= kFileAttributeReadonly;
  }
  if (x.is_placeholder) a |= kFileAttributeReparsePoint;
  a |= x.attributes & kXattrBits;
  e.attributes = a == 0 ? kFileAttributeNormal : a;
  if (!e.is_directory) e.last_write_time = FileTimeOf(st.st_mtim);
  if (x.is_placeholder) {
    // PlaceholderHandle::GetState through the mount, which has settled the
    // file: content is remote exactly while user.zem.size holds a size.
    e.is_placeholder = true;
    e.state.is_placeholder = true;
    e.state.in_sync = (x.state & fusefs::kStateInSync) != 0;
    e.state.hydrated = !x.content_remote;
    e.state.identity = std::move(x.identity);
    e.state.logical_size = x.content_remote ? x.logical_size : file ? st.st_size : 0;
  }
  *out = std::move(e);
  return true;
}

// Reads `rel` (below `root`) from the backing folder. kElsewhere when the
// folder must be read the generic way: reaching it takes a link (which the
// mount resolves its own way) or another file system, or openat2 is missing.
Outcome ReadBackingFolder(FuseSyncRoot& root, const std::string& rel,
                          const std::filesystem::path& dir, std::vector<FolderEntryState>* out,
                          std::string* error) {
  struct open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
  const int dir_fd =
      static_cast<int>(syscall(SYS_openat2, root.root_fd(), rel.c_str(), &how, sizeof how));
  if (dir_fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Outcome::kDone;  // no such folder: empty
    return Outcome::kElsewhere;
  }
  DIR* d = fdopendir(dir_fd);
  if (!d) {
    close(dir_fd);
    return Outcome::kElsewhere;
  }
  const std::string prefix = rel == "." ? std::string() : rel + "/";
  int err = 0;
  for (;;) {
    errno = 0;
    struct dirent* ent = readdir(d);
    if (!ent) {
      err = errno;
      break;
    }
    const char* name = ent->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    FolderEntryState e;
    if (ReadBackingEntry(root, dirfd(d), name, prefix + name, dir, &e)) {
      out->push_back(std::move(e));
    }
  }
  closedir(d);
  if (err != 0) {
    *error = std::strerror(err);
    return Outcome::kFailed;
  }
  return Outcome::kDone;
}

}  // namespace

bool ReadFolderStates(const std::filesystem::path& dir, std::vector<FolderEntryState>* out,
                      std::string* error) {
  out->clear();
  std::string rel;
  // Held for the whole read: the root's descriptor stays open while the
  // connection does (the engine reads folders only while it is connected).
  if (const std::shared_ptr<FuseSyncRoot> root = fusefs::ConnectedRootHolding(dir, &rel)) {
    switch (ReadBackingFolder(*root, rel, dir, out, error)) {
      case Outcome::kDone:
        return true;
      case Outcome::kFailed:
        return false;
      case Outcome::kElsewhere:
        out->clear();
        break;
    }
  }
  return ReadFolderStatesOneByOne(dir, out, error);
}

}  // namespace zem::platform

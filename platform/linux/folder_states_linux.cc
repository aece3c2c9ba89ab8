// A folder of a connected sync root is read from the folder under the mount:
// the provider keeps every file there with its placeholder attributes, so
// one pass over the backing folder answers what would otherwise take several
// requests per entry through the mount, each served by this very process.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

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

// The placeholder attributes of entries read before, reused while the
// entry's status-change time stays the same: the kernel moves it with every
// change of an attribute, of the content or of the mode, so an unchanged
// time means unchanged attributes. Only entries whose time was already
// older than a second when they were read are kept: a change in the same
// tick of the file-system clock as the time read could not be told apart.
// Entries not looked up across two sweeps (about two reads of the whole
// tree) are dropped, so deleted files do not pile up.
class XattrCache {
 public:
  bool Find(const struct stat& st, fusefs::PlaceholderXattrs* out) {
    std::lock_guard lock(mu_);
    if (++lookups_ > 2 * items_.size() + 1024) Sweep();
    auto it = items_.find(Key{st.st_dev, st.st_ino});
    if (it == items_.end() || !SameTime(it->second.ctime, st.st_ctim)) return false;
    it->second.seen = true;
    *out = it->second.x;
    return true;
  }

  void Store(const struct stat& st, const fusefs::PlaceholderXattrs& x,
             const struct timespec& stable_before) {
    if (!Before(st.st_ctim, stable_before)) return;
    std::lock_guard lock(mu_);
    items_[Key{st.st_dev, st.st_ino}] = Item{st.st_ctim, x, true};
  }

 private:
  struct Key {
    dev_t dev;
    ino_t ino;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const {
      return std::hash<uint64_t>()(static_cast<uint64_t>(k.ino) * 1000003u ^ k.dev);
    }
  };
  struct Item {
    struct timespec ctime;
    fusefs::PlaceholderXattrs x;
    bool seen;
  };

  static bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  }
  static bool Before(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
  }

  void Sweep() {
    for (auto it = items_.begin(); it != items_.end();) {
      if (!it->second.seen) {
        it = items_.erase(it);
      } else {
        it->second.seen = false;
        ++it;
      }
    }
    lookups_ = 0;
  }

  std::mutex mu_;
  std::unordered_map<Key, Item, KeyHash> items_;  // guarded by mu_
  size_t lookups_ = 0;                            // guarded by mu_
};

XattrCache& Cache() {
  static XattrCache* cache = new XattrCache;  // never destroyed: used until exit
  return *cache;
}

enum class Outcome { kDone, kFailed, kElsewhere };

// One backing entry as ReadEntryState reports it through the mount. False
// when the entry is gone. `rel` is the entry's path relative to the root.
bool ReadBackingEntry(FuseSyncRoot& root, int dir_fd, const char* name, const std::string& rel,
                      const std::filesystem::path& dir, const struct timespec& stable_before,
                      FolderEntryState* out) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    // A link's time is its target's, which may lie anywhere: the generic way.
    return ReadEntryState(dir / name, out).ok();
  }
  int fd = -1;
  fusefs::PlaceholderXattrs x;
  if (!Cache().Find(st, &x)) {
    fd = OpenEntry(dir_fd, name, st.st_mode);
    if (fd < 0) return false;
    if (fusefs::ReadPlaceholderXattrs(fd, &x) != 0) {
      close(fd);
      return ReadEntryState(dir / name, out).ok();
    }
    Cache().Store(st, x, stable_before);
  }
  const bool file = S_ISREG(st.st_mode);
  // What the mount does at the first access of a file holding content while
  // its content is marked remote, with no fetch running (a cut-off fetch, or
  // content written while nothing was mounted). The kernel's copy of the
  // entry is dropped, as every change of a placeholder behind it is.
  if (x.is_placeholder && x.content_remote && file && st.st_size != 0 &&
      !root.hydration().InFlight(st.st_ino)) {
    if (fd < 0) fd = OpenEntry(dir_fd, name, st.st_mode);
    if (fd < 0) return false;
    fusefs::SettleLeftover(fd);
    root.Invalidate(("/" + rel).c_str());
    if (fstat(fd, &st) != 0 || fusefs::ReadPlaceholderXattrs(fd, &x) != 0) {
      close(fd);
      return ReadEntryState(dir / name, out).ok();
    }
  }
  if (fd >= 0) close(fd);

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
                          Status* error) {
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
  struct timespec stable_before;
  clock_gettime(CLOCK_REALTIME, &stable_before);
  stable_before.tv_sec -= 1;
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
    if (ReadBackingEntry(root, dirfd(d), name, prefix + name, dir, stable_before, &e)) {
      out->push_back(std::move(e));
    }
  }
  closedir(d);
  if (err != 0) {
    *error = StatusFromOsError("read folder " + dir.string(), static_cast<uint32_t>(err));
    return Outcome::kFailed;
  }
  return Outcome::kDone;
}

}  // namespace

Status ReadFolderStates(const std::filesystem::path& dir, std::vector<FolderEntryState>* out) {
  out->clear();
  std::string rel;
  // Held for the whole read: the root's descriptor stays open while the
  // connection does (the engine reads folders only while it is connected).
  if (const std::shared_ptr<FuseSyncRoot> root = fusefs::ConnectedRootHolding(dir, &rel)) {
    Status error;
    switch (ReadBackingFolder(*root, rel, dir, out, &error)) {
      case Outcome::kDone:
        return Status();
      case Outcome::kFailed:
        return error;
      case Outcome::kElsewhere:
        out->clear();
        break;
    }
  }
  return ReadFolderStatesOneByOne(dir, out);
}

}  // namespace zem::platform

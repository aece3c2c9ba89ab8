// The filesystem operations of the Linux sync root. Each do_x computes and
// returns 0 or -errno working relative to the root descriptor; the few that
// concern placeholders (reads of remote content, writes, truncation, times,
// deletes, renames, closes of written files) add that on top of the plain
// pass-through.
#define FUSE_USE_VERSION 35

#include <dirent.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/file_attributes.h"
#include "platform/linux/cloud_files_xattrs.h"
#include "platform/linux/fuse_sync_root.h"

namespace zem::platform::fusefs {
namespace {

// How long the kernel may keep entries, attributes and missing names.
constexpr double kCacheSeconds = 30.0;

// One open file of the mount.
struct OpenFile {
  int fd = -1;
  ino_t ino = 0;
  bool writable = false;
  std::string rel;                    // path at open, for a close after unlink
  std::atomic<bool> maybe_remote{false};  // content may still be remote
  std::atomic<uint64_t> in_sync_cleared_at{UINT64_MAX};  // InSyncMarks() when last cleared
  // Written, truncated or opened with O_TRUNC: its close is reported. (The
  // library turns a mknod into create + release, which changes nothing.)
  std::atomic<bool> modified{false};
  std::atomic<uint32_t> last_pid{0};  // the process that opened or last wrote
};

FuseSyncRoot* Self() { return static_cast<FuseSyncRoot*>(fuse_get_context()->private_data); }
int Root() { return Self()->root_fd(); }
// The thread that made the request: FUSE reports the caller's thread id,
// not its process id.
uint32_t CallerPid() { return static_cast<uint32_t>(fuse_get_context()->pid); }

// The process a thread belongs to (the "Tgid:" of /proc/<tid>/status), so
// completions carry a process id as the Windows callbacks do and the agent
// recognises its own threads' changes. The thread itself when it is gone.
uint32_t ProcessOfThread(uint32_t tid) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%u/status", tid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return tid;
  char buf[1024];
  const ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return tid;
  const std::string_view text(buf, static_cast<size_t>(n));
  const size_t at = text.find("\nTgid:");
  if (at == std::string_view::npos) return tid;
  size_t i = at + 6;
  while (i < text.size() && (text[i] == '\t' || text[i] == ' ')) ++i;
  uint32_t tgid = 0;
  const auto r = std::from_chars(text.data() + i, text.data() + text.size(), tgid);
  return r.ec == std::errc() && tgid != 0 ? tgid : tid;
}
OpenFile* File(struct fuse_file_info* fi) { return reinterpret_cast<OpenFile*>(fi->fh); }

// "/a/b" -> "a/b"; "/" -> ".".
std::string Rel(const char* path) {
  if (!path || path[0] == '\0' || (path[0] == '/' && path[1] == '\0')) return ".";
  return path[0] == '/' ? std::string(path + 1) : std::string(path);
}

// An O_PATH descriptor of an entry (not following a final link), closed on scope exit.
class PathFd {
 public:
  explicit PathFd(const std::string& rel)
      : fd_(openat(Root(), rel.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)) {}
  ~PathFd() { if (fd_ >= 0) close(fd_); }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

// New entries belong to the process that created them, not to the agent.
void GiveToCaller(const std::string& rel) {
  if (geteuid() != 0) return;
  const struct fuse_context* ctx = fuse_get_context();
  fchownat(Root(), rel.c_str(), ctx->uid, ctx->gid, AT_SYMLINK_NOFOLLOW);
}

// A local change of a placeholder's content or time: it is no longer in sync.
void ClearInSync(int fd) {
  std::string id;
  if (GetXattr(fd, kXattrIdentity, &id) == 0) UpdateStateBits(fd, 0, kStateInSync);
}

bool IsReadOnlyPlaceholder(const PlaceholderXattrs& x) {
  return x.is_placeholder && (x.attributes & kFileAttributeReadonly) != 0;
}

std::string IdentityOf(int fd) {
  std::string id;
  if (fd < 0 || GetXattr(fd, kXattrIdentity, &id) != 0) id.clear();
  return id;
}

// The decimal logical size held by user.zem.size; -1 when it is no number.
int64_t ParseSize(const std::string& s) {
  int64_t n = -1;
  auto r = std::from_chars(s.data(), s.data() + s.size(), n);
  return r.ec == std::errc() && n >= 0 ? n : -1;
}

// Waits until the whole content of the open file `fd` is on disk.
int HydrateWhole(int fd, const std::string& rel);

// Opens what a fetch of the file `fd` needs (a fresh read-write descriptor
// of the same file, its identity, logical size and time) under the
// hydration table's lock.
int OpenForFetch(int fd, const std::string& rel, uint32_t pid, FetchStart* start,
                 bool* hydrated) {
  const int rw = open(ProcFdPath(fd).c_str(), O_RDWR | O_CLOEXEC);
  if (rw < 0) return errno;
  PlaceholderXattrs x;
  if (int err = ReadPlaceholderXattrs(rw, &x); err != 0) {
    close(rw);
    return err;
  }
  if (!x.content_remote) {
    close(rw);
    *hydrated = true;
    return 0;
  }
  struct stat st;
  if (fstat(rw, &st) != 0) {
    const int err = errno;
    close(rw);
    return err;
  }
  // Recorded before the first byte is written: content cut short by a crash
  // is dropped at the next access instead of passing for the file.
  if (int err = UpdateStateBits(rw, kStateFetching, 0); err != 0) {
    close(rw);
    return err;
  }
  std::string sha;
  if (GetXattr(rw, kXattrSha256, &sha) == 0) start->sha256 = sha;
  start->backing_fd = rw;
  start->size = x.logical_size;
  start->identity = x.identity;
  start->full_path = Self()->FullPath(rel).string();
  start->pid = ProcessOfThread(pid);
  start->mtime = st.st_mtim;
  return 0;
}

int WaitFor(int fd, ino_t ino, const std::string& rel, int64_t offset, int64_t length) {
  const uint32_t pid = CallerPid();
  ReleaseReaderRole();  // the range may take a while to arrive
  return Self()->hydration().WaitForRange(
      ino, offset, length, [&](FetchStart* start, bool* hydrated) {
        return OpenForFetch(fd, rel, pid, start, hydrated);
      });
}

int HydrateWhole(int fd, const std::string& rel) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  std::string size;
  if (int err = GetXattr(fd, kXattrSize, &size); err != 0) {
    return err == ENODATA ? 0 : err;  // no logical size: the content is local
  }
  const int64_t logical = ParseSize(size);
  if (logical < 0) return EIO;  // damaged state: never serve the empty file as content
  return WaitFor(fd, st.st_ino, rel, 0, logical);
}

// --- operations -----------------------------------------------------------

void* do_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  cfg->use_ino = 1;
  cfg->hard_remove = 1;   // no .fuse_hidden files: open files are used by descriptor
  cfg->nullpath_ok = 1;
  // The kernel keeps entries and attributes for a while. Everything that
  // changes a placeholder behind the kernel's back goes through the
  // extended-attribute handlers below, which drop the kernel's copy, so the
  // next stat after such a change asks again.
  cfg->entry_timeout = kCacheSeconds;
  cfg->attr_timeout = kCacheSeconds;
  cfg->negative_timeout = kCacheSeconds;
  // Reads of local content are spliced from the backing file to the device.
  conn->want |= conn->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
  // A first listing hands the kernel every entry's attributes at once; a
  // repeated one, whose entries the kernel still holds, is a plain listing
  // (the kernel decides: readdirplus "auto").
  conn->want |= conn->capable & (FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO);
  // No POSIX ACLs: the kernel checks the mode bits only (default_permissions).
  conn->want &= ~FUSE_CAP_POSIX_ACL;
  return fuse_get_context()->private_data;
}

}  // namespace

// A file that holds content while user.zem.size says its content is remote,
// with no fetch running, is one of two leftovers: the fetching mark is still
// set (a fetch or re-point cut short by a crash; its content is dropped and
// the file is remote again), or content was written into the folder while it
// was not mounted (it is the user's: content local, not in sync, never
// fetched over). `fd` is the backing file. Returns true when the file now
// holds its content locally.
bool SettleLeftover(int fd) {
  const uint64_t state = GetXattrNumber(fd, kXattrState, 0);
  const int rw = open(ProcFdPath(fd).c_str(), O_RDWR | O_CLOEXEC);
  if (rw < 0) return false;
  bool local = false;
  if (state & kStateFetching) {
    if (ftruncate(rw, 0) == 0) UpdateStateBits(rw, 0, kStateFetching | kStateHydrated);
  } else {
    // Order: the content counts as changed before it stops being remote.
    UpdateStateBits(rw, 0, kStateInSync);
    RemoveXattr(rw, kXattrSha256);
    local = RemoveXattr(rw, kXattrSize) == 0;
    if (local) UpdateStateBits(rw, kStateHydrated, 0);
  }
  close(rw);
  return local;
}

namespace {

// Fills in the size a regular file shows: the logical size held by
// user.zem.size while its content is remote (the file is empty on disk, or
// partial while a fetch runs). The attribute is read from the open `fd`, or
// else from `xattr_path` (a regular file there: following links is safe).
void ApplyLogicalSize(int fd, const std::string& xattr_path, struct stat* st) {
  if (!S_ISREG(st->st_mode)) return;
  char value[32];
  const ssize_t n = fd >= 0 ? fgetxattr(fd, kXattrSize, value, sizeof value)
                            : getxattr(xattr_path.c_str(), kXattrSize, value, sizeof value);
  if (n <= 0) return;
  const int64_t logical = ParseSize(std::string(value, static_cast<size_t>(n)));
  if (logical < 0) return;
  if (st->st_size != 0 && !Self()->hydration().InFlight(st->st_ino)) {
    const int backing = fd >= 0 ? dup(fd) : open(xattr_path.c_str(), O_PATH | O_CLOEXEC);
    if (backing < 0) return;
    const bool local = SettleLeftover(backing);
    close(backing);
    if (local) return;  // the on-disk size is the file's size now
  }
  st->st_size = logical;
  st->st_blocks = 0;
}

// "/proc/self/fd/<root>/<rel>": the entry seen from the root descriptor,
// without going through the mount.
std::string BackingPath(const std::string& rel) { return ProcFdPath(Root()) + "/" + rel; }

int do_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  OpenFile* f = fi ? File(fi) : nullptr;
  if (f) {
    if (fstat(f->fd, st) != 0) return -errno;
    ApplyLogicalSize(f->fd, std::string(), st);
    return 0;
  }
  const std::string rel = Rel(path);
  if (fstatat(Root(), rel.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
  ApplyLogicalSize(-1, BackingPath(rel), st);
  return 0;
}

int do_readlink(const char* path, char* buf, size_t size) {
  const ssize_t n = readlinkat(Root(), Rel(path).c_str(), buf, size - 1);
  if (n < 0) return -errno;
  buf[n] = '\0';
  return 0;
}

int do_mknod(const char* path, mode_t mode, dev_t rdev) {
  const std::string rel = Rel(path);
  if (mknodat(Root(), rel.c_str(), mode, rdev) != 0) return -errno;
  GiveToCaller(rel);
  return 0;
}

int do_mkdir(const char* path, mode_t mode) {
  const std::string rel = Rel(path);
  if (mkdirat(Root(), rel.c_str(), mode) != 0) return -errno;
  GiveToCaller(rel);
  return 0;
}

int do_remove(const char* path, bool directory) {
  const std::string rel = Rel(path);
  std::string identity;
  {
    PathFd pfd(rel);
    identity = IdentityOf(pfd.get());
  }
  if (unlinkat(Root(), rel.c_str(), directory ? AT_REMOVEDIR : 0) != 0) return -errno;
  ChangeInfo info;
  info.connection = Self()->key();
  info.identity = std::move(identity);
  info.path = Self()->FullPath(rel);
  info.is_directory = directory;
  info.pid = ProcessOfThread(CallerPid());
  Self()->notifier().Defer(Notifier::Kind::kDelete, std::move(info));
  return 0;
}

int do_unlink(const char* path) { return do_remove(path, false); }
int do_rmdir(const char* path) { return do_remove(path, true); }

int do_symlink(const char* target, const char* path) {
  const std::string rel = Rel(path);
  if (symlinkat(target, Root(), rel.c_str()) != 0) return -errno;
  GiveToCaller(rel);
  return 0;
}

// Why renaming the entry `rel` here would lose something, or null when it
// may be renamed. Folders of the service (and the virtual roots) cannot be
// created or renamed through the service, so the sync would recreate the
// old folder and drop the renamed one with its content; the shared and
// recycle-bin areas are read-only.
const char* RenameRefusal(const std::string& rel) {
  PathFd pfd(rel);
  if (!pfd.ok()) return nullptr;
  const std::string id = IdentityOf(pfd.get());
  if (id.size() < 2 || id[1] != ':') return nullptr;
  if (id[0] == 'S' || id[0] == 'R') return "read-only items cannot be renamed";
  struct stat st;
  if ((id[0] == 'D' || id[0] == 'V') && fstat(pfd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return "folders are renamed on the web, not here";
  }
  return nullptr;
}

int do_rename(const char* from, const char* to, unsigned int flags) {
  const std::string rel_from = Rel(from), rel_to = Rel(to);
  // The agent itself moves folders it mirrors (the layout migration, a
  // folder moved on the web); only other processes are refused.
  const bool own = Self()->own_folder_moves() &&
                   ProcessOfThread(CallerPid()) == static_cast<uint32_t>(getpid());
  if (const char* why = own ? nullptr : RenameRefusal(rel_from)) {
    // One write: lines of several threads never mix.
    const std::string line = "[RENAME-REFUSED] " + Self()->FullPath(rel_from).string() + ": " +
                             why + "\n";
    if (write(STDERR_FILENO, line.data(), line.size()) < 0) {
      // Nowhere to report it; the refusal stands.
    }
    return -EPERM;
  }
  if (renameat2(Root(), rel_from.c_str(), Root(), rel_to.c_str(), flags) != 0) return -errno;
  ChangeInfo info;
  {
    PathFd pfd(rel_to);
    info.identity = IdentityOf(pfd.get());
    struct stat st;
    info.is_directory = pfd.ok() && fstat(pfd.get(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  info.connection = Self()->key();
  info.path = Self()->FullPath(rel_to);
  info.source_path = Self()->FullPath(rel_from);
  info.pid = ProcessOfThread(CallerPid());
  Self()->notifier().Defer(Notifier::Kind::kRename, std::move(info), rel_to);
  return 0;
}

int do_link(const char* from, const char* to) {
  if (linkat(Root(), Rel(from).c_str(), Root(), Rel(to).c_str(), 0) != 0) return -errno;
  return 0;
}

int do_chmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
  const int r = fi ? fchmod(File(fi)->fd, mode) : fchmodat(Root(), Rel(path).c_str(), mode, 0);
  return r == 0 ? 0 : -errno;
}

int do_chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
  const int r = fi ? fchown(File(fi)->fd, uid, gid)
                   : fchownat(Root(), Rel(path).c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
  return r == 0 ? 0 : -errno;
}

// Truncation of the file open as `fd` (placeholders: refused when read-only,
// remote content fetched first unless it is all cut away).
int TruncateFd(int fd, const std::string& rel, off_t size) {
  PlaceholderXattrs x;
  if (int err = ReadPlaceholderXattrs(fd, &x); err != 0) return -err;
  if (IsReadOnlyPlaceholder(x)) return -EACCES;
  if (x.content_remote) {
    if (size == 0) {
      if (int err = RemoveXattr(fd, kXattrSize); err != 0) return -err;
      UpdateStateBits(fd, kStateHydrated, 0);
    } else if (int err = HydrateWhole(fd, rel); err != 0) {
      return -err;
    }
  }
  if (ftruncate(fd, size) != 0) return -errno;
  if (x.is_placeholder) UpdateStateBits(fd, 0, kStateInSync);
  return 0;
}

int do_truncate(const char* path, off_t size, struct fuse_file_info* fi) {
  if (fi) {
    const int r = TruncateFd(File(fi)->fd, File(fi)->rel, size);
    if (r == 0) File(fi)->modified = true;
    return r;
  }
  const std::string rel = Rel(path);
  const int fd = openat(Root(), rel.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -errno;
  const int r = TruncateFd(fd, rel, size);
  close(fd);
  return r;
}

int do_utimens(const char* path, const struct timespec tv[2], struct fuse_file_info* fi) {
  const std::string rel = Rel(path);
  const int r = fi ? futimens(File(fi)->fd, tv)
                   : utimensat(Root(), rel.c_str(), tv, AT_SYMLINK_NOFOLLOW);
  if (r != 0) return -errno;
  if (tv[1].tv_nsec != UTIME_OMIT) {  // the last-write time changed
    if (fi) {
      ClearInSync(File(fi)->fd);
    } else {
      PathFd pfd(rel);
      if (pfd.ok()) ClearInSync(pfd.get());
    }
  }
  return 0;
}

int OpenCommon(const char* path, struct fuse_file_info* fi, int fd) {
  const std::string rel = Rel(path);
  const int flags = fi->flags;
  const bool writable = (flags & O_ACCMODE) != O_RDONLY;
  PlaceholderXattrs x;
  if (int err = ReadPlaceholderXattrs(fd, &x); err != 0) {
    close(fd);
    return -err;
  }
  if (x.content_remote) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size != 0 &&
        !Self()->hydration().InFlight(st.st_ino)) {
      SettleLeftover(fd);
      if (int err = ReadPlaceholderXattrs(fd, &x); err != 0) {
        close(fd);
        return -err;
      }
    }
  }
  if (writable && IsReadOnlyPlaceholder(x)) {
    close(fd);
    return -EACCES;
  }
  if (writable && x.content_remote) {
    int err = 0;
    if (flags & O_TRUNC) {
      err = RemoveXattr(fd, kXattrSize);
      if (err == 0) UpdateStateBits(fd, kStateHydrated, 0);
    } else {
      // Writing into part of a file needs the rest of it.
      err = HydrateWhole(fd, rel);
    }
    if (err != 0) {
      close(fd);
      return -err;
    }
  }
  if ((flags & O_TRUNC) && writable) {
    if (ftruncate(fd, 0) != 0) {
      const int err = errno;
      close(fd);
      return -err;
    }
    if (x.is_placeholder) UpdateStateBits(fd, 0, kStateInSync);
  }
  struct stat st;
  fstat(fd, &st);
  auto* f = new OpenFile;
  f->fd = fd;
  f->ino = st.st_ino;
  f->writable = writable;
  f->rel = rel;
  f->maybe_remote = x.content_remote && !writable;
  f->modified = writable && (flags & O_TRUNC);
  f->last_pid = CallerPid();
  fi->fh = reinterpret_cast<uint64_t>(f);
  // No FLUSH on close: there is nothing to flush, and a close that waits for
  // this process would never end when the agent is killed with one of its
  // own files open (the exiting process closes its files before the FUSE
  // device, so nobody is left to answer).
  fi->noflush = 1;
  return 0;
}

int BackingFlags(int flags) {
  // Truncation is done by OpenCommon once the placeholder checks passed.
  return (flags & ~(O_TRUNC | O_CREAT | O_EXCL | O_NOCTTY)) | O_CLOEXEC;
}

int do_open(const char* path, struct fuse_file_info* fi) {
  const int fd = openat(Root(), Rel(path).c_str(), BackingFlags(fi->flags));
  if (fd < 0) return -errno;
  return OpenCommon(path, fi, fd);
}

int do_create(const char* path, mode_t mode, struct fuse_file_info* fi) {
  const std::string rel = Rel(path);
  const int fd = openat(Root(), rel.c_str(), (fi->flags | O_CREAT | O_CLOEXEC) & ~O_TRUNC, mode);
  if (fd < 0) return -errno;
  GiveToCaller(rel);
  return OpenCommon(path, fi, fd);
}

// Reads are answered with the backing descriptor itself: libfuse splices
// the bytes from the file to the device, so they are never copied through
// this process. A read of remote content first waits for its range.
// Reads a range of a file still being fetched, once it has arrived. The
// bytes are copied now rather than spliced from the backing file after the
// handler returns: a fetch that fails in between empties the backing file,
// and the reader would take the empty read for the end of the file. A short
// read within the logical size is that failure.
int ReadArrived(int fd, struct fuse_bufvec** bufp, size_t size, off_t off) {
  char* mem = static_cast<char*>(malloc(size));
  if (!mem) return -ENOMEM;
  size_t got = 0;
  while (got < size) {
    const ssize_t n = pread(fd, mem + got, size - got, off + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  auto* src = got == size ? static_cast<struct fuse_bufvec*>(malloc(sizeof(struct fuse_bufvec)))
                          : nullptr;
  if (!src) {
    free(mem);
    return got == size ? -ENOMEM : -EIO;
  }
  *src = FUSE_BUFVEC_INIT(size);
  src->buf[0].mem = mem;  // freed by libfuse with the vector (not an fd buffer)
  *bufp = src;
  return 0;
}

int do_read_buf(const char*, struct fuse_bufvec** bufp, size_t size, off_t off,
                struct fuse_file_info* fi) {
  OpenFile* f = File(fi);
  if (f->maybe_remote.load()) {
    char value[32];
    const ssize_t n = fgetxattr(f->fd, kXattrSize, value, sizeof value);
    // Only a missing logical size means the content is local: any other
    // failure must not pass the empty file off as the content.
    if (n < 0 && errno != ENODATA) return -EIO;
    if (n >= 0) {
      const int64_t end = ParseSize(std::string(value, static_cast<size_t>(n)));
      if (end < 0) return -EIO;
      if (off >= end) size = 0;
      size = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), end - off));
      if (size > 0) {
        if (int err = WaitFor(f->fd, f->ino, f->rel, off, static_cast<int64_t>(size)); err != 0) {
          return -err;
        }
        return ReadArrived(f->fd, bufp, size, off);
      }
    } else {
      f->maybe_remote = false;  // hydrated meanwhile: plain reads from now on
    }
  }
  auto* src = static_cast<struct fuse_bufvec*>(malloc(sizeof(struct fuse_bufvec)));
  if (!src) return -ENOMEM;
  *src = FUSE_BUFVEC_INIT(size);
  src->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  src->buf[0].fd = f->fd;
  src->buf[0].pos = off;
  *bufp = src;
  return 0;
}

int do_write(const char*, const char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
  OpenFile* f = File(fi);
  const ssize_t n = pwrite(f->fd, buf, size, off);
  if (n < 0) return -errno;
  f->modified = true;
  f->last_pid = CallerPid();
  const uint64_t marks = InSyncMarks();
  if (f->in_sync_cleared_at.exchange(marks) != marks) ClearInSync(f->fd);
  return static_cast<int>(n);
}

int do_statfs(const char*, struct statvfs* st) {
  return fstatvfs(Root(), st) == 0 ? 0 : -errno;
}

int do_release(const char* path, struct fuse_file_info* fi) {
  OpenFile* f = File(fi);
  if (f->writable && f->modified) {
    ChangeInfo info;
    info.connection = Self()->key();
    info.identity = IdentityOf(f->fd);
    info.path = Self()->FullPath(path ? Rel(path) : f->rel);
    struct stat st;
    info.deleted = fstat(f->fd, &st) == 0 && st.st_nlink == 0;
    info.pid = ProcessOfThread(f->last_pid);
    Self()->notifier().Defer(Notifier::Kind::kClose, std::move(info));
  }
  close(f->fd);
  delete f;
  return 0;
}

int do_fsync(const char*, int datasync, struct fuse_file_info* fi) {
  ReleaseReaderRole();
  const int fd = File(fi)->fd;
  return (datasync ? fdatasync(fd) : fsync(fd)) == 0 ? 0 : -errno;
}

// The placeholder's own attributes (user.zem.*) decide the size and state
// the mount reports: when one changes, the kernel's copy of the entry's
// attributes is dropped before the change is acknowledged, so the caller's
// next stat already sees the new values.
bool IsPlaceholderAttribute(const char* name) {
  return std::strncmp(name, "user.zem.", 9) == 0;
}

// Only the user and trusted namespaces are kept. The mount enforces no ACLs
// and carries no security labels, and says so: "not supported" for those
// names (ls -l then stops asking for them on this filesystem after the
// first file, instead of two round trips per file).
bool SupportedAttribute(const char* name) {
  return std::strncmp(name, "user.", 5) == 0 || std::strncmp(name, "trusted.", 8) == 0;
}

int do_setxattr(const char* path, const char* name, const char* value, size_t size, int flags) {
  if (!SupportedAttribute(name)) return -EOPNOTSUPP;
  if (lsetxattr(BackingPath(Rel(path)).c_str(), name, value, size, flags) != 0) return -errno;
  if (IsPlaceholderAttribute(name)) Self()->Invalidate(path);
  return 0;
}

int do_getxattr(const char* path, const char* name, char* value, size_t size) {
  if (!SupportedAttribute(name)) return -EOPNOTSUPP;
  const ssize_t n = lgetxattr(BackingPath(Rel(path)).c_str(), name, value, size);
  return n < 0 ? -errno : static_cast<int>(n);
}

int do_listxattr(const char* path, char* list, size_t size) {
  // The backing list, less the names of other namespaces.
  std::string all(64 * 1024, '\0');
  const ssize_t n = llistxattr(BackingPath(Rel(path)).c_str(), all.data(), all.size());
  if (n < 0) return -errno;
  std::string kept;
  for (size_t at = 0; at < static_cast<size_t>(n);) {
    const size_t len = std::strlen(all.data() + at);
    if (SupportedAttribute(all.data() + at)) kept.append(all.data() + at, len + 1);
    at += len + 1;
  }
  if (size == 0) return static_cast<int>(kept.size());
  if (kept.size() > size) return -ERANGE;
  std::memcpy(list, kept.data(), kept.size());
  return static_cast<int>(kept.size());
}

int do_removexattr(const char* path, const char* name) {
  if (!SupportedAttribute(name)) return -EOPNOTSUPP;
  if (lremovexattr(BackingPath(Rel(path)).c_str(), name) != 0) return -errno;
  if (IsPlaceholderAttribute(name)) Self()->Invalidate(path);
  return 0;
}

int do_opendir(const char* path, struct fuse_file_info* fi) {
  const int fd = openat(Root(), Rel(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  DIR* d = fdopendir(fd);
  if (!d) {
    const int err = errno;
    close(fd);
    return -err;
  }
  fi->fh = reinterpret_cast<uint64_t>(d);
  return 0;
}

// Entries carry their directory position as offset, so the library passes
// a listing's attributes on to the kernel (readdirplus) instead of leaving
// it to look every entry up again.
int do_readdir(const char*, void* buf, fuse_fill_dir_t fill, off_t offset,
               struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
  DIR* d = reinterpret_cast<DIR*>(fi->fh);
  const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
  // Entries are reached through the open folder itself: the path may be
  // absent (nullpath_ok) or stale after a rename.
  const std::string dir_backing = plus ? ProcFdPath(dirfd(d)) + "/" : std::string();
  if (offset == 0) {
    rewinddir(d);
  } else {
    seekdir(d, offset);
  }
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(d);
    if (!e) break;
    const off_t next = telldir(d);
    struct stat st = {};
    auto fill_flags = static_cast<fuse_fill_dir_flags>(0);
    const bool dots = e->d_name[0] == '.' &&
                      (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0'));
    if (plus && !dots && fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      ApplyLogicalSize(-1, dir_backing + e->d_name, &st);
      fill_flags = FUSE_FILL_DIR_PLUS;
    } else {
      st.st_ino = e->d_ino;
      st.st_mode = static_cast<mode_t>(DTTOIF(e->d_type));
    }
    // Full: the next call starts again at this entry.
    if (fill(buf, e->d_name, &st, next, fill_flags) != 0) return 0;
  }
  return -errno;
}

int do_releasedir(const char*, struct fuse_file_info* fi) {
  closedir(reinterpret_cast<DIR*>(fi->fh));
  return 0;
}

int do_fsyncdir(const char*, int, struct fuse_file_info* fi) {
  ReleaseReaderRole();
  return fsync(dirfd(reinterpret_cast<DIR*>(fi->fh))) == 0 ? 0 : -errno;
}

struct fuse_operations MakeOperations() {
  struct fuse_operations ops = {};
  ops.init = do_init;
  ops.getattr = do_getattr;
  ops.readlink = do_readlink;
  ops.mknod = do_mknod;
  ops.mkdir = do_mkdir;
  ops.unlink = do_unlink;
  ops.rmdir = do_rmdir;
  ops.symlink = do_symlink;
  ops.rename = do_rename;
  ops.link = do_link;
  ops.chmod = do_chmod;
  ops.chown = do_chown;
  ops.truncate = do_truncate;
  ops.open = do_open;
  ops.read_buf = do_read_buf;
  ops.write = do_write;
  ops.statfs = do_statfs;
  ops.release = do_release;
  ops.fsync = do_fsync;
  ops.setxattr = do_setxattr;
  ops.getxattr = do_getxattr;
  ops.listxattr = do_listxattr;
  ops.removexattr = do_removexattr;
  ops.opendir = do_opendir;
  ops.readdir = do_readdir;
  ops.releasedir = do_releasedir;
  ops.fsyncdir = do_fsyncdir;
  ops.create = do_create;
  ops.utimens = do_utimens;
  return ops;
}

}  // namespace

const struct fuse_operations* SyncRootOperations() {
  static const struct fuse_operations ops = MakeOperations();
  return &ops;
}

}  // namespace zem::platform::fusefs

// The Linux sync-root provider: connections (one mounted FuseSyncRoot each),
// placeholder creation and the placeholder handle. Placeholder operations
// work on paths, so they behave the same whether the folder is mounted (the
// calls then pass through the mount) or not.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "platform/cloud_files.h"
#include "platform/file_attributes.h"
#include "platform/linux/cloud_files_xattrs.h"
#include "platform/linux/fuse_sync_root.h"

namespace zem::platform {
namespace {

using fusefs::FuseSyncRoot;

std::mutex g_roots_mu;
std::map<ConnectionKey, std::shared_ptr<FuseSyncRoot>> g_roots;  // guarded by g_roots_mu
ConnectionKey g_next_key = 1;                                    // guarded by g_roots_mu

std::shared_ptr<FuseSyncRoot> FindRoot(ConnectionKey key) {
  std::lock_guard lock(g_roots_mu);
  auto it = g_roots.find(key);
  return it == g_roots.end() ? nullptr : it->second;
}

// True when `dir_fd` or one of the folders above it carries the sync-root mark.
bool UnderSyncRoot(int dir_fd) {
  int fd = dup(dir_fd);
  for (int depth = 0; fd >= 0 && depth < 256; ++depth) {
    std::string mark;
    if (fusefs::GetXattr(fd, fusefs::kXattrSyncRoot, &mark) == 0 && mark == kSyncRootId) {
      close(fd);
      return true;
    }
    struct stat self, parent;
    const int up = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const bool top = up < 0 || (fstat(fd, &self) == 0 && fstat(up, &parent) == 0 &&
                                self.st_dev == parent.st_dev && self.st_ino == parent.st_ino);
    close(fd);
    fd = up;
    if (top) break;
  }
  if (fd >= 0) close(fd);
  return false;
}

// The folder that holds `fd`'s entry, as an O_PATH descriptor.
int ParentOf(int fd, bool is_dir) {
  if (is_dir) return openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
  // A file: go through its path.
  char buf[4096];
  const ssize_t n = readlink(fusefs::ProcFdPath(fd).c_str(), buf, sizeof buf - 1);
  if (n <= 0) return -1;
  buf[n] = '\0';
  const std::filesystem::path p(buf);
  return open(p.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

bool HandleUnderSyncRoot(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    return UnderSyncRoot(fd);
  }
  const int parent = ParentOf(fd, false);
  if (parent < 0) return false;
  const bool under = UnderSyncRoot(parent);
  close(parent);
  return under;
}

struct timespec ToTimespec(int64_t filetime) {
  if (filetime == 0) return {0, UTIME_OMIT};
  const int64_t ns = UnixNanosFromFileTime(filetime);
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += 1000000000;
    ts.tv_sec -= 1;
  }
  return ts;
}

constexpr uint32_t kXattrBits =
    kFileAttributeReadonly | kFileAttributeHidden | kFileAttributeSystem | kFileAttributeTemporary;

// Fills in the placeholder state of the new entry `fd`; returns 0 or an errno.
int DescribeNewPlaceholder(int fd, const PlaceholderSpec& item, bool directory) {
  const struct timespec times[2] = {ToTimespec(item.last_access_time),
                                    ToTimespec(item.last_write_time)};
  if (futimens(fd, times) != 0) return errno;
  const bool remote = !directory && item.size > 0;
  if (remote) {
    if (int err = fusefs::SetXattrNumber(fd, fusefs::kXattrSize, static_cast<uint64_t>(item.size)))
      return err;
  }
  if (const uint32_t bits = item.attributes & kXattrBits) {
    if (int err = fusefs::SetXattrNumber(fd, fusefs::kXattrAttributes, bits)) return err;
  }
  const uint32_t state =
      (item.mark_in_sync ? fusefs::kStateInSync : 0) | (remote ? 0 : fusefs::kStateHydrated);
  if (int err = fusefs::SetXattrNumber(fd, fusefs::kXattrState, state)) return err;
  // The identity last: only a complete entry counts as a placeholder.
  return fusefs::SetXattr(fd, fusefs::kXattrIdentity, item.identity);
}

Hresult CreateOne(int base_fd, PlaceholderSpec& item) {
  const std::string name = item.relative_name.string();
  if (name.empty() || item.identity.size() > 4096 || item.size < 0) return kHrInvalidArgument;
  const bool directory = (item.attributes & kFileAttributeDirectory) != 0;
  if (directory ? mkdirat(base_fd, name.c_str(), 0755)
                : mknodat(base_fd, name.c_str(), S_IFREG | 0644, 0)) {
    return HresultFromOsError(errno);
  }
  const int fd = openat(base_fd, name.c_str(),
                        (directory ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  int err = fd < 0 ? errno : DescribeNewPlaceholder(fd, item, directory);
  if (fd >= 0) close(fd);
  if (err != 0) {
    unlinkat(base_fd, name.c_str(), directory ? AT_REMOVEDIR : 0);
    return HresultFromOsError(err);
  }
  return 0;
}

}  // namespace

Hresult ConnectSyncRoot(const std::filesystem::path& root, const SyncRootCallbacks& callbacks,
                        ConnectionKey* key) {
  if (!key || root.empty()) return kHrInvalidArgument;
  std::error_code ec;
  const auto abs = std::filesystem::absolute(root, ec).lexically_normal();
  ConnectionKey k;
  {
    std::lock_guard lock(g_roots_mu);
    k = g_next_key++;
  }
  auto r = std::make_shared<FuseSyncRoot>(ec ? root : abs, k, callbacks);
  if (Hresult hr = r->Mount(); !Succeeded(hr)) return hr;
  {
    std::lock_guard lock(g_roots_mu);
    g_roots[k] = r;
  }
  *key = k;
  return 0;
}

Hresult DisconnectSyncRoot(ConnectionKey key) {
  std::shared_ptr<FuseSyncRoot> r;
  {
    std::lock_guard lock(g_roots_mu);
    auto it = g_roots.find(key);
    if (it == g_roots.end()) return kHrInvalidKey;
    r = std::move(it->second);
    g_roots.erase(it);
  }
  r->Unmount();
  return 0;
}

Hresult TransferData(const TransferKey& key, uint32_t status, const void* data, int64_t offset,
                     int64_t length) {
  auto r = FindRoot(key.connection);
  if (!r) return kHrInvalidKey;
  if (status == kStatusSuccess && length > 0 && !data) return kHrInvalidArgument;
  const int err = r->Transfer(key.transfer, status, data, offset, length);
  if (err == ENOENT) return kHrInvalidKey;
  return HresultFromOsError(static_cast<uint32_t>(err));
}

Hresult CreatePlaceholders(const std::filesystem::path& base, std::vector<PlaceholderSpec>& items) {
  Hresult overall = 0;
  const int base_fd = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (base_fd < 0 || !UnderSyncRoot(base_fd)) {
    overall = base_fd < 0 ? HresultFromOsError(errno) : kHrNotUnderSyncRoot;
    for (auto& item : items) item.result = overall;
    if (base_fd >= 0) close(base_fd);
    return overall;
  }
  for (auto& item : items) {
    item.result = CreateOne(base_fd, item);
    if (!Succeeded(item.result) && Succeeded(overall)) overall = item.result;
  }
  close(base_fd);
  return overall;
}

// --- PlaceholderHandle -------------------------------------------------------

PlaceholderHandle::~PlaceholderHandle() { Close(); }

void PlaceholderHandle::Close() {
  if (native_ != kClosed) close(static_cast<int>(native_));
  native_ = kClosed;
}

uint32_t PlaceholderHandle::Open(const std::filesystem::path& path, bool /*delete_access*/) {
  Close();
  // Read-only is enough for the attribute calls, and opening a placeholder
  // never fetches its content. A link is opened itself, not its target.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ELOOP) fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  native_ = fd;
  return 0;
}

Hresult PlaceholderHandle::ConvertToPlaceholder(std::string_view identity, bool mark_in_sync) {
  if (!is_open()) return kHrInvalidKey;
  if (identity.size() > 4096) return kHrInvalidArgument;
  const int fd = static_cast<int>(native_);
  if (!HandleUnderSyncRoot(fd)) return kHrNotUnderSyncRoot;
  // Local content: nothing to fetch.
  if (int err = fusefs::RemoveXattr(fd, fusefs::kXattrSize)) return HresultFromOsError(err);
  const uint32_t state = fusefs::kStateHydrated | (mark_in_sync ? fusefs::kStateInSync : 0);
  if (int err = fusefs::SetXattrNumber(fd, fusefs::kXattrState, state)) {
    return HresultFromOsError(err);
  }
  return HresultFromOsError(fusefs::SetXattr(fd, fusefs::kXattrIdentity, identity));
}

Hresult PlaceholderHandle::UpdateIdentity(std::string_view identity, bool mark_in_sync) {
  if (!is_open()) return kHrInvalidKey;
  if (identity.size() > 4096) return kHrInvalidArgument;
  const int fd = static_cast<int>(native_);
  std::string old;
  if (fusefs::GetXattr(fd, fusefs::kXattrIdentity, &old) != 0) return kHrNotACloudFile;
  if (int err = fusefs::SetXattr(fd, fusefs::kXattrIdentity, identity)) {
    return HresultFromOsError(err);
  }
  if (!mark_in_sync) return 0;
  return HresultFromOsError(fusefs::UpdateStateBits(fd, fusefs::kStateInSync, 0));
}

Hresult PlaceholderHandle::SetInSyncState(bool in_sync) {
  if (!is_open()) return kHrInvalidKey;
  const int fd = static_cast<int>(native_);
  std::string id;
  if (fusefs::GetXattr(fd, fusefs::kXattrIdentity, &id) != 0) return kHrNotACloudFile;
  return HresultFromOsError(in_sync ? fusefs::UpdateStateBits(fd, fusefs::kStateInSync, 0)
                                    : fusefs::UpdateStateBits(fd, 0, fusefs::kStateInSync));
}

Hresult PlaceholderHandle::Repoint(std::string_view identity, int64_t size) {
  if (!is_open()) return kHrInvalidKey;
  if (identity.size() > 4096 || size < 0) return kHrInvalidArgument;
  const int fd = static_cast<int>(native_);
  std::string old;
  if (fusefs::GetXattr(fd, fusefs::kXattrIdentity, &old) != 0) return kHrNotACloudFile;
  struct stat st;
  if (fstat(fd, &st) != 0) return HresultFromOsError(errno);
  if (!S_ISREG(st.st_mode)) return kHrNotACloudFile;
  // Drop the stale content first: until the size attribute is back the file
  // shows as empty, never as the old content under the new identity.
  if (truncate(fusefs::ProcFdPath(fd).c_str(), 0) != 0) return HresultFromOsError(errno);
  if (size > 0) {
    if (int err = fusefs::SetXattrNumber(fd, fusefs::kXattrSize, static_cast<uint64_t>(size)))
      return HresultFromOsError(err);
  } else if (int err = fusefs::RemoveXattr(fd, fusefs::kXattrSize)) {
    return HresultFromOsError(err);
  }
  const uint32_t state = fusefs::kStateInSync | (size > 0 ? 0 : fusefs::kStateHydrated);
  if (int err = fusefs::SetXattrNumber(fd, fusefs::kXattrState, state)) {
    return HresultFromOsError(err);
  }
  return HresultFromOsError(fusefs::SetXattr(fd, fusefs::kXattrIdentity, identity));
}

Hresult PlaceholderHandle::GetState(PlaceholderState* state) {
  if (!is_open() || !state) return kHrInvalidArgument;
  fusefs::PlaceholderXattrs x;
  if (int err = fusefs::ReadPlaceholderXattrs(static_cast<int>(native_), &x)) {
    return HresultFromOsError(err);
  }
  state->is_placeholder = x.is_placeholder;
  state->in_sync = x.is_placeholder && (x.state & fusefs::kStateInSync) != 0;
  state->hydrated = !x.content_remote;
  state->identity = x.identity;
  struct stat st;
  if (x.content_remote) {
    state->logical_size = x.logical_size;
  } else if (fstat(static_cast<int>(native_), &st) == 0 && S_ISREG(st.st_mode)) {
    state->logical_size = st.st_size;
  }
  return 0;
}

}  // namespace zem::platform

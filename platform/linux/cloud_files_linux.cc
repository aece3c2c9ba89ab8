// The Linux sync-root provider: connections (one mounted FuseSyncRoot each),
// placeholder creation and the placeholder handle. Placeholder operations
// work on paths, so they behave the same whether the folder is mounted (the
// calls then pass through the mount) or not.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "platform/cloud_files.h"
#include "platform/file_attributes.h"
#include "platform/linux/cloud_files_xattrs.h"
#include "platform/linux/fuse_sync_root.h"
#include "platform/linux/stale_mount.h"

namespace zem::platform {
namespace {

using fusefs::FuseSyncRoot;

constexpr decltype(statfs::f_type) kFuseMagic = 0x65735546;  // FUSE_SUPER_MAGIC

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
int DescribeNewPlaceholder(int fd, const PlaceholderItem& item, bool directory) {
  const struct timespec times[2] = {ToTimespec(item.last_access_time),
                                    ToTimespec(item.last_write_time)};
  if (futimens(fd, times) != 0) return errno;
  const bool remote = !directory && item.size > 0;
  if (remote) {
    if (int err = fusefs::SetXattrNumber(fd, fusefs::kXattrSize, static_cast<uint64_t>(item.size)))
      return err;
  }
  if (!directory && !item.content_sha256.empty()) {
    if (int err = fusefs::SetXattr(fd, fusefs::kXattrSha256, item.content_sha256)) return err;
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

bool IsHexSha256(std::string_view s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

Status CreateOne(int base_fd, const std::filesystem::path& base, PlaceholderItem& item) {
  const std::string name = item.relative_name.string();
  if (!IsPlainPlaceholderName(item.relative_name) || item.identity.size() > 4096 ||
      item.size < 0 || (!item.content_sha256.empty() && !IsHexSha256(item.content_sha256))) {
    return StatusFromHresult("create placeholder " + (base / name).string(), kHrInvalidArgument);
  }
  const bool directory = (item.attributes & kFileAttributeDirectory) != 0;
  if (directory ? mkdirat(base_fd, name.c_str(), 0755)
                : mknodat(base_fd, name.c_str(), S_IFREG | 0644, 0)) {
    const int err = errno;
    return StatusFromOsError("create placeholder " + (base / name).string(),
                             static_cast<uint32_t>(err));
  }
  const int fd = openat(base_fd, name.c_str(),
                        (directory ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  int err = fd < 0 ? errno : DescribeNewPlaceholder(fd, item, directory);
  if (fd >= 0) close(fd);
  if (err != 0) {
    unlinkat(base_fd, name.c_str(), directory ? AT_REMOVEDIR : 0);
    return StatusFromOsError("describe placeholder " + (base / name).string(),
                             static_cast<uint32_t>(err));
  }
  return Status();
}

}  // namespace

namespace fusefs {

std::shared_ptr<FuseSyncRoot> ConnectedRootHolding(const std::filesystem::path& dir,
                                                   std::string* rel) {
  std::error_code ec;
  const std::filesystem::path abs = std::filesystem::absolute(dir, ec).lexically_normal();
  if (ec) return nullptr;
  std::lock_guard lock(g_roots_mu);
  for (const auto& [k, r] : g_roots) {
    const std::filesystem::path inside = abs.lexically_relative(r->root());
    if (inside.empty() || *inside.begin() == "..") continue;
    // "." for the root itself; a trailing separator ("a/") names the folder.
    std::string path = inside.native();
    if (path.size() > 1 && path.back() == '/') path.resize(path.size() - 1);
    rel->swap(path);
    return r;
  }
  return nullptr;
}

}  // namespace fusefs

bool IsPlainPlaceholderName(const std::filesystem::path& name) {
  const std::string& s = name.native();
  return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos &&
         s.find('\0') == std::string::npos;
}

Status ConnectSyncRoot(const std::filesystem::path& root, const SyncRootCallbacks& callbacks,
                       ConnectionKey* key) {
  if (!key || root.empty()) return StatusFromHresult("connect sync root", kHrInvalidArgument);
  std::error_code ec;
  const auto abs = std::filesystem::absolute(root, ec).lexically_normal();
  ConnectionKey k;
  {
    std::lock_guard lock(g_roots_mu);
    k = g_next_key++;
  }
  auto r = std::make_shared<FuseSyncRoot>(ec ? root : abs, k, callbacks);
  if (Status mounted = r->Mount(); !mounted.ok()) return mounted;
  {
    std::lock_guard lock(g_roots_mu);
    g_roots[k] = r;
  }
  *key = k;
  return Status();
}

Status DisconnectSyncRoot(ConnectionKey key) {
  std::shared_ptr<FuseSyncRoot> r;
  {
    std::lock_guard lock(g_roots_mu);
    auto it = g_roots.find(key);
    if (it == g_roots.end()) {
      return StatusFromHresult("disconnect connection " + std::to_string(key), kHrInvalidKey);
    }
    r = std::move(it->second);
    g_roots.erase(it);
  }
  r->Unmount();
  return Status();
}

Status TransferData(const TransferKey& key, uint32_t status, const void* data, int64_t offset,
                    int64_t length) {
  auto r = FindRoot(key.connection);
  if (!r) return StatusFromHresult("transfer to an unknown connection", kHrInvalidKey);
  if (status == kStatusSuccess && length > 0 && !data) {
    return StatusFromHresult("transfer without data", kHrInvalidArgument);
  }
  const int err = r->Transfer(key.transfer, status, data, offset, length);
  if (err == 0) return Status();
  const std::string context = "transfer " + std::to_string(length) + " bytes at offset " +
                              std::to_string(offset) + " of fetch " + std::to_string(key.transfer);
  if (err == ENOENT) return StatusFromHresult(context, kHrInvalidKey);
  return StatusFromOsError(context, static_cast<uint32_t>(err));
}

bool IsFetchActive(const TransferKey& key) {
  auto r = FindRoot(key.connection);
  return r && r->FetchActive(key.transfer);
}

Status CreatePlaceholders(const std::filesystem::path& base, std::vector<PlaceholderItem>& items) {
  Status overall;
  const int base_fd = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int open_err = errno;
  if (base_fd < 0 || !UnderSyncRoot(base_fd)) {
    overall = base_fd < 0 ? StatusFromOsError("open " + base.string(),
                                              static_cast<uint32_t>(open_err))
                          : StatusFromHresult("create placeholders in " + base.string(),
                                              kHrNotUnderSyncRoot);
    for (auto& item : items) item.result = overall;
    if (base_fd >= 0) close(base_fd);
    return overall;
  }
  for (auto& item : items) {
    item.result = CreateOne(base_fd, base, item);
    if (!item.result.ok() && overall.ok()) overall = item.result;
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

Status PlaceholderHandle::Open(const std::filesystem::path& path, bool /*delete_access*/) {
  Close();
  // Read-only is enough for the attribute calls, and opening a placeholder
  // never fetches its content. A link is opened itself, not its target.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ELOOP) fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    return StatusFromOsError("open " + path.string(), static_cast<uint32_t>(err));
  }
  native_ = fd;
  path_ = path;
  return Status();
}

namespace {

// "<what> <path>" as the context of a failure, built only when one happened.
Status ProviderFailure(const char* what, const std::filesystem::path& path, int32_t hr) {
  return StatusFromHresult(std::string(what) + " " + path.string(), hr);
}
Status OsFailure(const char* what, const std::filesystem::path& path, int err) {
  if (err == 0) return Status();
  return StatusFromOsError(std::string(what) + " " + path.string(), static_cast<uint32_t>(err));
}

}  // namespace

Status PlaceholderHandle::ConvertToPlaceholder(std::string_view identity, bool mark_in_sync) {
  constexpr const char* kWhat = "convert to placeholder";
  if (!is_open()) return ProviderFailure(kWhat, path_, kHrInvalidKey);
  if (identity.size() > 4096) return ProviderFailure(kWhat, path_, kHrInvalidArgument);
  const int fd = static_cast<int>(native_);
  if (!HandleUnderSyncRoot(fd)) return ProviderFailure(kWhat, path_, kHrNotUnderSyncRoot);
  // Local content: nothing to fetch.
  if (int err = fusefs::RemoveXattr(fd, fusefs::kXattrSize)) return OsFailure(kWhat, path_, err);
  const uint32_t state = fusefs::kStateHydrated | (mark_in_sync ? fusefs::kStateInSync : 0);
  if (int err = fusefs::SetXattrNumber(fd, fusefs::kXattrState, state)) {
    return OsFailure(kWhat, path_, err);
  }
  return OsFailure(kWhat, path_, fusefs::SetXattr(fd, fusefs::kXattrIdentity, identity));
}

Status PlaceholderHandle::UpdateIdentity(std::string_view identity, bool mark_in_sync) {
  constexpr const char* kWhat = "update identity of";
  if (!is_open()) return ProviderFailure(kWhat, path_, kHrInvalidKey);
  if (identity.size() > 4096) return ProviderFailure(kWhat, path_, kHrInvalidArgument);
  const int fd = static_cast<int>(native_);
  std::string old;
  if (fusefs::GetXattr(fd, fusefs::kXattrIdentity, &old) != 0) {
    return ProviderFailure(kWhat, path_, kHrNotACloudFile);
  }
  if (int err = fusefs::SetXattr(fd, fusefs::kXattrIdentity, identity)) {
    return OsFailure(kWhat, path_, err);
  }
  if (!mark_in_sync) return Status();
  return OsFailure(kWhat, path_, fusefs::UpdateStateBits(fd, fusefs::kStateInSync, 0));
}

Status PlaceholderHandle::SetInSyncState(bool in_sync) {
  constexpr const char* kWhat = "set in-sync state of";
  if (!is_open()) return ProviderFailure(kWhat, path_, kHrInvalidKey);
  const int fd = static_cast<int>(native_);
  std::string id;
  if (fusefs::GetXattr(fd, fusefs::kXattrIdentity, &id) != 0) {
    return ProviderFailure(kWhat, path_, kHrNotACloudFile);
  }
  return OsFailure(kWhat, path_,
                   in_sync ? fusefs::UpdateStateBits(fd, fusefs::kStateInSync, 0)
                           : fusefs::UpdateStateBits(fd, 0, fusefs::kStateInSync));
}

namespace {

// The connected root of this process whose mount holds `fd`, with the path
// of `fd`'s entry relative to it; null when `fd` is on no such mount.
std::shared_ptr<FuseSyncRoot> ServingRoot(int fd, std::string* rel) {
  struct stat st;
  if (fstat(fd, &st) != 0) return nullptr;
  std::vector<std::shared_ptr<FuseSyncRoot>> roots;
  {
    std::lock_guard lock(g_roots_mu);
    for (auto& [k, r] : g_roots) roots.push_back(r);
  }
  for (auto& r : roots) {
    if (r->mount_dev() != st.st_dev) continue;
    char buf[4096];
    const ssize_t n = readlink(fusefs::ProcFdPath(fd).c_str(), buf, sizeof buf - 1);
    if (n <= 0) return nullptr;
    const std::string path(buf, static_cast<size_t>(n));
    const std::string prefix = r->root().string() + "/";
    if (path.compare(0, prefix.size(), prefix) != 0) return nullptr;
    *rel = path.substr(prefix.size());
    return r;
  }
  return nullptr;
}

}  // namespace

Status PlaceholderHandle::Repoint(std::string_view identity, int64_t size,
                                  std::string_view content_sha256) {
  constexpr const char* kWhat = "repoint";
  if (!is_open()) return ProviderFailure(kWhat, path_, kHrInvalidKey);
  if (identity.size() > 4096 || size < 0 ||
      (!content_sha256.empty() && !IsHexSha256(content_sha256))) {
    return ProviderFailure(kWhat, path_, kHrInvalidArgument);
  }
  const int fd = static_cast<int>(native_);
  struct stat st;
  if (fstat(fd, &st) != 0) return OsFailure(kWhat, path_, errno);
  std::string old;
  if (fusefs::GetXattr(fd, fusefs::kXattrIdentity, &old) != 0) {
    return ProviderFailure(kWhat, path_, kHrNotACloudFile);
  }
  if (!S_ISREG(st.st_mode)) return ProviderFailure(kWhat, path_, kHrInvalidArgument);
  // Content written here since the last sync is the user's: never dropped.
  PlaceholderState state;
  if (GetState(&state).ok() && !state.in_sync) return ProviderFailure(kWhat, path_, kHrNotInSync);

  // On a mount this process serves, the backing file is changed directly
  // (a fetch of the old content is abandoned first) and the kernel's copy
  // dropped afterwards; elsewhere the file is reopened with truncation.
  std::string rel;
  const std::shared_ptr<FuseSyncRoot> root = ServingRoot(fd, &rel);
  int b = -1;
  if (root) {
    b = openat(root->root_fd(), rel.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (b >= 0) {
      struct stat bst;
      if (fstat(b, &bst) == 0) root->hydration().Abandon(bst.st_ino);
    }
  }
  // The fetching mark first: content left half-replaced by a crash is
  // dropped at the next access.
  Status result = OsFailure(
      kWhat, path_,
      fusefs::UpdateStateBits(b >= 0 ? b : fd, fusefs::kStateFetching, fusefs::kStateInSync));
  if (b < 0 && result.ok()) {
    b = open(fusefs::ProcFdPath(fd).c_str(), O_RDWR | O_TRUNC | O_CLOEXEC);
  }
  if (b < 0) return result.ok() ? OsFailure(kWhat, path_, errno) : result;
  auto step = [&](int err) {
    if (result.ok() && err != 0) result = OsFailure(kWhat, path_, err);
  };
  step(ftruncate(b, 0) == 0 ? 0 : errno);
  step(size > 0 ? fusefs::SetXattrNumber(b, fusefs::kXattrSize, static_cast<uint64_t>(size))
                : fusefs::RemoveXattr(b, fusefs::kXattrSize));
  step(content_sha256.empty() ? fusefs::RemoveXattr(b, fusefs::kXattrSha256)
                              : fusefs::SetXattr(b, fusefs::kXattrSha256, content_sha256));
  step(fusefs::SetXattr(b, fusefs::kXattrIdentity, identity));
  // Last: in sync, not hydrated (an empty file is whole), no fetching mark.
  if (result.ok()) {
    step(fusefs::SetXattrNumber(b, fusefs::kXattrState,
                                fusefs::kStateInSync | (size > 0 ? 0 : fusefs::kStateHydrated)));
  }
  close(b);
  if (root) root->Invalidate(("/" + rel).c_str());
  return result;
}

Status PlaceholderHandle::GetState(PlaceholderState* state) {
  constexpr const char* kWhat = "read placeholder state of";
  if (!is_open() || !state) return ProviderFailure(kWhat, path_, kHrInvalidArgument);
  fusefs::PlaceholderXattrs x;
  if (int err = fusefs::ReadPlaceholderXattrs(static_cast<int>(native_), &x)) {
    return OsFailure(kWhat, path_, err);
  }
  struct stat st;
  const bool file = fstat(static_cast<int>(native_), &st) == 0 && S_ISREG(st.st_mode);
  // Through a mount, sizes are the mount's (it has settled the file at open).
  struct statfs sfs;
  const bool mounted = fstatfs(static_cast<int>(native_), &sfs) == 0 && sfs.f_type == kFuseMagic;
  // Content on disk while the size says remote (the mount settles this at
  // the first access; unmounted it is read the same way): with the fetching
  // mark it is a cut-off fetch (remote), else the user's content written
  // while the folder was not mounted (local, changed).
  bool remote = x.content_remote;
  bool user_content = false;
  if (remote && file && !mounted && st.st_size != 0 && !(x.state & fusefs::kStateFetching)) {
    remote = false;
    user_content = true;
  }
  state->is_placeholder = x.is_placeholder;
  state->in_sync = x.is_placeholder && !user_content && (x.state & fusefs::kStateInSync) != 0;
  state->hydrated = !remote;
  state->identity = x.identity;
  state->logical_size = 0;
  if (remote) {
    state->logical_size = x.logical_size;
  } else if (file) {
    state->logical_size = st.st_size;
  }
  return Status();
}

}  // namespace zem::platform

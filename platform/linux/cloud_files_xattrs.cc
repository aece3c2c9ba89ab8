#include "platform/linux/cloud_files_xattrs.h"

#include <sys/xattr.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <charconv>

namespace zem::platform::fusefs {

std::string ProcFdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

namespace {

// The f*xattr calls work on ordinary descriptors without a path lookup (most
// of the cost when placeholders are created in bulk); O_PATH descriptors
// refuse them with EBADF and go through /proc/self/fd instead.
ssize_t GetX(int fd, const char* name, void* buf, size_t size) {
  const ssize_t n = fgetxattr(fd, name, buf, size);
  if (n >= 0 || errno != EBADF) return n;
  return getxattr(ProcFdPath(fd).c_str(), name, buf, size);
}

int SetX(int fd, const char* name, const void* value, size_t size) {
  if (fsetxattr(fd, name, value, size, 0) == 0) return 0;
  if (errno != EBADF) return -1;
  return setxattr(ProcFdPath(fd).c_str(), name, value, size, 0);
}

int RemoveX(int fd, const char* name) {
  if (fremovexattr(fd, name) == 0) return 0;
  if (errno != EBADF) return -1;
  return removexattr(ProcFdPath(fd).c_str(), name);
}

}  // namespace

int GetXattr(int fd, const char* name, std::string* value) {
  // Most values (states, sizes, hashes, most identities) are short: one call
  // into a small buffer on the stack, no allocation for an absent one.
  char small[256];
  const ssize_t got = GetX(fd, name, small, sizeof small);
  if (got >= 0) {
    value->assign(small, static_cast<size_t>(got));
    return 0;
  }
  if (errno != ERANGE) return errno;
  // Identities are at most 4 KiB; grow once if a value is larger anyway.
  std::string buf(4096 + 64, '\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const ssize_t n = GetX(fd, name, buf.data(), buf.size());
    if (n >= 0) {
      buf.resize(static_cast<size_t>(n));
      *value = std::move(buf);
      return 0;
    }
    if (errno != ERANGE) return errno;
    const ssize_t need = GetX(fd, name, nullptr, 0);
    if (need < 0) return errno;
    buf.assign(static_cast<size_t>(need) + 64, '\0');
  }
  return ERANGE;
}

int SetXattr(int fd, const char* name, std::string_view value) {
  return SetX(fd, name, value.data(), value.size()) == 0 ? 0 : errno;
}

int RemoveXattr(int fd, const char* name) {
  if (RemoveX(fd, name) == 0 || errno == ENODATA) return 0;
  return errno;
}

uint64_t GetXattrNumber(int fd, const char* name, uint64_t fallback) {
  std::string v;
  if (GetXattr(fd, name, &v) != 0) return fallback;
  uint64_t n = 0;
  auto r = std::from_chars(v.data(), v.data() + v.size(), n);
  return r.ec == std::errc() ? n : fallback;
}

namespace {
std::atomic<uint64_t> g_in_sync_marks{0};
}  // namespace

uint64_t InSyncMarks() { return g_in_sync_marks.load(); }

int SetXattrNumber(int fd, const char* name, uint64_t value) {
  // Counted before the bit is set: a writer that sees the new count clears
  // the bit again (after this write, or the engine's re-check of the write
  // time catches it).
  if (std::strcmp(name, kXattrState) == 0 && (value & kStateInSync)) ++g_in_sync_marks;
  return SetXattr(fd, name, std::to_string(value));
}

int ReadPlaceholderXattrs(int fd, PlaceholderXattrs* out) {
  *out = PlaceholderXattrs{};
  int err = GetXattr(fd, kXattrIdentity, &out->identity);
  if (err == 0) {
    out->is_placeholder = true;
  } else if (err != ENODATA && err != ENOTSUP) {
    return err;
  }
  std::string size;
  err = GetXattr(fd, kXattrSize, &size);
  if (err != 0 && err != ENODATA && err != ENOTSUP) return err;
  if (err == 0) {
    int64_t n = 0;
    auto r = std::from_chars(size.data(), size.data() + size.size(), n);
    if (r.ec == std::errc() && n >= 0) {
      out->content_remote = true;
      out->logical_size = n;
    }
  }
  out->state = static_cast<uint32_t>(GetXattrNumber(fd, kXattrState, 0));
  out->attributes = static_cast<uint32_t>(GetXattrNumber(fd, kXattrAttributes, 0));
  return 0;
}

int UpdateStateBits(int fd, uint32_t set, uint32_t clear) {
  const uint64_t old = GetXattrNumber(fd, kXattrState, 0);
  const uint64_t now = (old | set) & ~static_cast<uint64_t>(clear);
  if (now == old) return 0;
  return SetXattrNumber(fd, kXattrState, now);
}

}  // namespace zem::platform::fusefs

#define FUSE_USE_VERSION 35
#include "platform/linux/fuse_sync_root.h"

#include <fcntl.h>
#include <fuse3/fuse.h>
#include <fuse3/fuse_lowlevel.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/linux/cloud_files_xattrs.h"
#include "platform/linux/stale_mount.h"

namespace zem::platform::fusefs {
namespace {

// The reader role held by this loop thread while it processes a request.
thread_local std::unique_lock<std::mutex>* t_reader_role = nullptr;

}  // namespace

bool IsFuseMountPoint(const std::filesystem::path& root) {
  const std::string want = AbsoluteNormal(root);
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, mroot, mpoint;
    fields >> id >> parent >> devno >> mroot >> mpoint;
    const auto dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string fstype;
    rest >> fstype;
    if (UnescapeMountField(mpoint) == want && fstype.rfind("fuse", 0) == 0) return true;
  }
  return false;
}

FuseSyncRoot::FuseSyncRoot(std::filesystem::path root, ConnectionKey key,
                           const SyncRootCallbacks& callbacks)
    : root_(std::move(root)),
      key_(key),
      callbacks_(callbacks),
      hydration_([this](int64_t id, const FetchStart& s) { RunFetch(id, s); }),
      notifier_(callbacks) {}

FuseSyncRoot::~FuseSyncRoot() { Unmount(); }

std::filesystem::path FuseSyncRoot::FullPath(const std::string& rel) const {
  if (rel.empty() || rel == ".") return root_;
  return root_ / rel;
}

void FuseSyncRoot::Invalidate(const char* path) {
  // Dropping cached pages may wait for reads that another thread must take
  // off the device.
  ReleaseReaderRole();
  if (fuse_ && path) fuse_invalidate_path(fuse_, path);
}

Status FuseSyncRoot::Mount() {
  const std::string where = root_.string();
  DetachStaleMount(root_);
  if (IsFuseMountPoint(root_)) return StatusFromHresult("connect " + where, kHrAlreadyConnected);

  root_fd_ = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root_fd_ < 0) {
    const int err = errno;
    return StatusFromOsError("open sync root " + where, static_cast<uint32_t>(err));
  }
  notifier_.SetBackingRoot(root_fd_);
  std::string mark;
  if (GetXattr(root_fd_, kXattrSyncRoot, &mark) != 0 || mark != kSyncRootId) {
    return StatusFromHresult("connect " + where, kHrNotUnderSyncRoot);
  }

  std::string options = "default_permissions,fsname=zemcloud,subtype=zem";
  if (geteuid() == 0) options += ",allow_other";
  std::string prog = "zem-sync-root", dash_o = "-o";
  char* argv[] = {prog.data(), dash_o.data(), options.data(), nullptr};
  struct fuse_args args = FUSE_ARGS_INIT(3, argv);
  fuse_ = fuse_new(&args, SyncRootOperations(), sizeof(struct fuse_operations), this);
  if (!fuse_) return StatusFromOsError("fuse_new for " + where, EINVAL);
  if (fuse_mount(fuse_, root_.c_str()) != 0) {
    const int err = errno ? errno : EIO;
    fuse_destroy(fuse_);
    fuse_ = nullptr;
    return StatusFromOsError("mount " + where, static_cast<uint32_t>(err));
  }
  mounted_ = true;
  RecordMountOwner(root_);

  // Non-blocking: the thread that holds the reader role polls the device
  // together with the stop event, so a stop reaches it at once.
  const int dev = fuse_session_fd(fuse_get_session(fuse_));
  fcntl(dev, F_SETFL, fcntl(dev, F_GETFL) | O_NONBLOCK);
  wake_fd_ = eventfd(0, EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    const int err = errno;
    Unmount();
    return StatusFromOsError("eventfd for " + where, static_cast<uint32_t>(err));
  }
  for (int i = 0; i < kLoopThreads; ++i) loop_threads_.emplace_back(&FuseSyncRoot::Loop, this);
  EnlargeReadahead();  // stats the mount: the loop must be answering by now
  return Status();
}

void FuseSyncRoot::EnlargeReadahead() {
  // The kernel reads ahead 128 KiB at a time by default; larger requests
  // halve the round trips of a sequential read. Only root may change it,
  // and a kernel that refuses simply keeps its default.
  struct stat st;
  if (stat(root_.c_str(), &st) != 0) return;
  mount_dev_ = st.st_dev;
  const std::string knob = "/sys/class/bdi/" + std::to_string(major(st.st_dev)) + ":" +
                           std::to_string(minor(st.st_dev)) + "/read_ahead_kb";
  const int fd = open(knob.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  const std::string kb = std::to_string(kReadaheadKb);
  if (write(fd, kb.data(), kb.size()) < 0) {
    // Not permitted here: the default stays.
  }
  close(fd);
}

// Leader and followers: one thread at a time holds the reader role, takes
// the next request off the device and processes it itself, so a run of
// requests (a listing, stats, reads of local content) wakes no other thread.
// An operation that may wait (for a fetch, for the disk to flush, for the
// kernel to drop cached pages) first hands the role on (ReleaseReaderRole),
// so the other requests never wait behind it; up to kLoopThreads requests
// wait at once.
void FuseSyncRoot::Loop() {
  struct fuse_session* se = fuse_get_session(fuse_);
  struct fuse_buf buf = {};
  const int dev = fuse_session_fd(se);
  std::unique_lock lead(reader_mu_, std::defer_lock);
  for (;;) {
    if (!lead.owns_lock()) lead.lock();
    if (stopping_.load() || fuse_session_exited(se)) break;
    const int res = fuse_session_receive_buf(se, &buf);
    if (res == -EAGAIN || res == -EINTR) {
      struct pollfd fds[2] = {{dev, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if (fds[1].revents) break;
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;
      continue;
    }
    if (res <= 0) break;  // 0: the mount went away (ENODEV)
    t_reader_role = &lead;
    fuse_session_process_buf(se, &buf);
    t_reader_role = nullptr;
    notifier_.FlushDeferred();  // the kernel has its answer now
  }
  free(buf.mem);
}

void ReleaseReaderRole() {
  if (t_reader_role && t_reader_role->owns_lock()) t_reader_role->unlock();
}

void FuseSyncRoot::RunFetch(int64_t id, const FetchStart& s) {
  if (!callbacks_.fetch_data) return;  // no handler: the fetch fails
  FetchDataInfo info;
  info.key = TransferKey{key_, id, 0};
  info.identity = s.identity;
  info.path = s.full_path;
  info.required_offset = 0;
  info.required_length = s.size;
  info.file_size = s.size;
  info.content_sha256 = s.sha256;
  info.pid = s.pid;
  callbacks_.fetch_data(info);
}

void FuseSyncRoot::Unmount() {
  // Waiting readers get EIO first, so no loop thread stays blocked in a read.
  stopping_ = true;  // downloads of running fetches stop from now on
  hydration_.Stop();
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) std::perror("zem sync root: stop event");
  }
  for (auto& t : loop_threads_) t.join();
  loop_threads_.clear();
  if (fuse_) {
    // Lazy detach; closing the device aborts whatever the kernel still holds.
    if (mounted_) fuse_unmount(fuse_);
    mounted_ = false;
    fuse_destroy(fuse_);
    fuse_ = nullptr;
  }
  notifier_.Stop();
  if (wake_fd_ >= 0) close(wake_fd_);
  wake_fd_ = -1;
  if (root_fd_ >= 0) close(root_fd_);
  root_fd_ = -1;
}

}  // namespace zem::platform::fusefs

// One connected Linux sync root: a FUSE filesystem mounted over the folder
// itself, every operation carried out relative to a descriptor of the folder
// opened (O_PATH) before mounting, so the files stay where they are and the
// folder shows them as they are once unmounted.
//
// Threads: kLoopThreads FUSE loop threads (one of them receives and
// processes at a time; an operation that may wait hands the receiving on), one
// thread per running fetch (HydrationTable), one notification dispatcher
// (Notifier). Mount starts them all, Unmount joins them all.
//
// Lock order: reader_mu_ (the reader role) is taken first; it is given up
// before waiting on a fetch or the kernel. HydrationTable and Notifier
// document their own.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/linux/fuse_hydration.h"
#include "platform/linux/fuse_notifier.h"

struct fuse;
struct fuse_operations;

namespace zem::platform::fusefs {

class FuseSyncRoot {
 public:
  FuseSyncRoot(std::filesystem::path root, ConnectionKey key, const SyncRootCallbacks& callbacks);
  ~FuseSyncRoot();  // Unmount()
  FuseSyncRoot(const FuseSyncRoot&) = delete;
  FuseSyncRoot& operator=(const FuseSyncRoot&) = delete;

  // Detaches a mount left by a dead process, checks the registration mark,
  // opens the folder and mounts over it.
  Status Mount();
  // Fails waiting reads, stops the loop, removes the mount, joins every
  // thread. Idempotent.
  void Unmount();

  bool FetchActive(int64_t id) { return !stopping_.load() && hydration_.Active(id); }
  int Transfer(int64_t id, uint32_t status, const void* data, int64_t offset, int64_t length) {
    return hydration_.Transfer(id, status, data, offset, length);
  }

  // For the filesystem operations.
  int root_fd() const { return root_fd_; }
  const std::filesystem::path& root() const { return root_; }
  // The device number of the mount (0 until it answers).
  dev_t mount_dev() const { return mount_dev_.load(); }
  ConnectionKey key() const { return key_; }
  bool own_folder_moves() const { return callbacks_.own_folder_moves; }
  HydrationTable& hydration() { return hydration_; }
  Notifier& notifier() { return notifier_; }
  // Drops the kernel's cached attributes (and cached pages) of the entry at
  // `path` ("/a/b", as the operations receive it), when the kernel holds it.
  // Safe inside an operation: it takes no lock of the kernel's.
  void Invalidate(const char* path);
  // The full path of a path relative to the root ("." is the root).
  std::filesystem::path FullPath(const std::string& rel) const;

 private:
  static constexpr int kLoopThreads = 8;
  static constexpr int kReadaheadKb = 1024;
  void Loop();
  void EnlargeReadahead();  // also records mount_dev_
  void RunFetch(int64_t id, const FetchStart& start);

  const std::filesystem::path root_;
  const ConnectionKey key_;
  const SyncRootCallbacks callbacks_;
  int root_fd_ = -1;
  int wake_fd_ = -1;  // eventfd that stops the loop threads
  struct fuse* fuse_ = nullptr;
  bool mounted_ = false;
  std::atomic<dev_t> mount_dev_{0};
  std::mutex reader_mu_;  // the reader role of the loop threads
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> loop_threads_;
  HydrationTable hydration_;
  Notifier notifier_;
};

// Called by an operation, on its loop thread, before anything that may wait
// (a fetch, a flush to disk, the kernel dropping pages): another loop thread
// takes over receiving requests. Does nothing on other threads.
void ReleaseReaderRole();

// The filesystem operations (fuse_ops.cc).
const struct fuse_operations* SyncRootOperations();

// Settles a file that holds content while user.zem.size says its content is
// remote and no fetch of it runs (fuse_ops.cc): content left by a cut-off
// fetch (the fetching mark is set) is dropped, content written while the
// folder was not mounted becomes the user's local change. `fd` is the
// backing file, any kind of descriptor. Returns true when the file now holds
// its content locally. The mount does this at the first access of such a
// file; whoever reads the backing folder directly does the same.
bool SettleLeftover(int fd);

// The connected root of this process whose folder holds `dir` (absolute or
// not), with the path of `dir` relative to the root ("." for the root
// itself); null when no connected root holds it (cloud_files_linux.cc).
std::shared_ptr<FuseSyncRoot> ConnectedRootHolding(const std::filesystem::path& dir,
                                                   std::string* rel);

// True when `root` is itself the mount point of a FUSE filesystem.
bool IsFuseMountPoint(const std::filesystem::path& root);

}  // namespace zem::platform::fusefs

// One connected Linux sync root: a FUSE filesystem mounted over the folder
// itself, every operation carried out relative to a descriptor of the folder
// opened (O_PATH) before mounting, so the files stay where they are and the
// folder shows them as they are once unmounted.
//
// Threads: kLoopThreads FUSE loop threads (receive + process requests), one
// thread per running fetch (HydrationTable), one notification dispatcher
// (Notifier). Mount starts them all, Unmount joins them all.
//
// Lock order: none held across calls here; HydrationTable and Notifier
// document their own.
#pragma once

#include <atomic>
#include <filesystem>
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
  // opens the folder and mounts over it. Returns 0 or a failure HRESULT.
  Hresult Mount();
  // Fails waiting reads, stops the loop, removes the mount, joins every
  // thread. Idempotent.
  void Unmount();

  int Transfer(int64_t id, uint32_t status, const void* data, int64_t offset, int64_t length) {
    return hydration_.Transfer(id, status, data, offset, length);
  }

  // For the filesystem operations.
  int root_fd() const { return root_fd_; }
  ConnectionKey key() const { return key_; }
  HydrationTable& hydration() { return hydration_; }
  Notifier& notifier() { return notifier_; }
  // The full path of a path relative to the root ("." is the root).
  std::filesystem::path FullPath(const std::string& rel) const;

 private:
  static constexpr int kLoopThreads = 8;
  void Loop();
  void RunFetch(int64_t id, const FetchStart& start);

  const std::filesystem::path root_;
  const ConnectionKey key_;
  const SyncRootCallbacks callbacks_;
  int root_fd_ = -1;
  int wake_fd_ = -1;  // eventfd that stops the loop threads
  struct fuse* fuse_ = nullptr;
  bool mounted_ = false;
  std::vector<std::thread> loop_threads_;
  HydrationTable hydration_;
  Notifier notifier_;
};

// The filesystem operations (fuse_ops.cc).
const struct fuse_operations* SyncRootOperations();

// True when `root` is itself the mount point of a FUSE filesystem.
bool IsFuseMountPoint(const std::filesystem::path& root);

}  // namespace zem::platform::fusefs

// Delivers the close, delete and rename completions of the Linux sync root:
// queued by the filesystem operations once their work is done, handed to the
// callbacks in order on one dispatcher thread, never on a FUSE thread (a
// handler may touch the mount).
//
// Lock order: mu_ only; callbacks run without it.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/cloud_files.h"

namespace zem::platform::fusefs {

class Notifier {
 public:
  enum class Kind { kClose, kDelete, kRename };

  explicit Notifier(const SyncRootCallbacks& callbacks);
  ~Notifier();  // Stop()

  // Queues a completion; ignored when its callback is not set or after Stop.
  void Post(Kind kind, ChangeInfo info);

  // Delivers what is queued, then joins the dispatcher. Idempotent.
  void Stop();

 private:
  void Run();

  SyncRootCallbacks callbacks_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::pair<Kind, ChangeInfo>> queue_;  // guarded by mu_
  bool stopping_ = false;                          // guarded by mu_
  std::thread thread_;
};

}  // namespace zem::platform::fusefs

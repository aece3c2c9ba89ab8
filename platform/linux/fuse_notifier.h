// Delivers the close, delete and rename completions of the Linux sync root.
// A filesystem operation defers its completion on its own thread; the loop
// thread queues it once the request has been processed, i.e. after the
// kernel has been answered; the callbacks run in order on one dispatcher
// thread, never on a FUSE thread (a handler may touch the mount).
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

  // Holds a completion on the calling thread until FlushDeferred.
  void Defer(Kind kind, ChangeInfo info);
  // Queues what the calling thread deferred, in order.
  void FlushDeferred();

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
  static thread_local std::deque<std::pair<Kind, ChangeInfo>> deferred_;
};

}  // namespace zem::platform::fusefs

// Delivers the close, delete and rename completions of the Linux sync root.
//
// An operation defers its completion on its own loop thread while it runs;
// the loop thread releases it once the request has been processed, i.e. after
// the kernel has been answered. The callbacks run on one dispatcher thread,
// never on a FUSE thread (a handler may touch the mount), and in the order
// the operations ran: each completion takes a sequence number when it is
// deferred, and the dispatcher hands them out strictly by number. Several loop
// threads release their completions independently, so without the numbers a
// rename answered on one thread could be delivered after the unlink that the
// program issued once the rename had returned.
//
// Lock order: mu_ only; callbacks run without it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/cloud_files.h"

namespace zem::platform::fusefs {

class Notifier {
 public:
  enum class Kind { kClose, kDelete, kRename };

  explicit Notifier(const SyncRootCallbacks& callbacks);
  ~Notifier();  // Stop()

  // Holds a completion on the calling thread until FlushDeferred, numbering
  // it in the order of the operations.
  void Defer(Kind kind, ChangeInfo info);
  // Releases what the calling thread deferred to the dispatcher.
  void FlushDeferred();

  // Delivers what has been released, then joins the dispatcher. Idempotent.
  void Stop();

 private:
  struct Completion {
    uint64_t seq;
    Kind kind;
    ChangeInfo info;
  };

  bool Wanted(Kind kind) const;
  void Run();

  SyncRootCallbacks callbacks_;
  std::mutex mu_;
  std::condition_variable wake_;
  uint64_t next_number_ = 0;                      // guarded by mu_
  uint64_t next_delivery_ = 0;                    // guarded by mu_
  std::map<uint64_t, Completion> released_;       // guarded by mu_
  bool stopping_ = false;                         // guarded by mu_
  std::thread thread_;
  static thread_local std::deque<Completion> deferred_;
};

}  // namespace zem::platform::fusefs

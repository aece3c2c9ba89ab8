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

  // The backing folder (O_PATH), for the rename check below; set before
  // the first operation, valid until Stop.
  void SetBackingRoot(int fd) { backing_root_ = fd; }

  // Holds a completion on the calling thread until FlushDeferred, numbering
  // it in the order of the operations. A rename gives its new name relative
  // to the backing folder: the kernel moves its cached entry only after it
  // has our answer, on the renaming program's thread, so its handler waits
  // (briefly) until the new name resolves through the mount while the
  // backing folder still has it.
  void Defer(Kind kind, ChangeInfo info, std::string backing_rel = {});
  // Releases what the calling thread deferred to the dispatcher.
  void FlushDeferred();

  // Delivers what has been released, then joins the dispatcher. Idempotent.
  void Stop();

 private:
  struct Completion {
    uint64_t seq;
    Kind kind;
    ChangeInfo info;
    std::string backing_rel;
  };

  bool Wanted(Kind kind) const;
  void Run();
  void WaitUntilVisible(const Completion& c) const;

  SyncRootCallbacks callbacks_;
  std::mutex mu_;
  std::condition_variable wake_;
  uint64_t next_number_ = 0;                      // guarded by mu_
  uint64_t next_delivery_ = 0;                    // guarded by mu_
  std::map<uint64_t, Completion> released_;       // guarded by mu_
  bool stopping_ = false;                         // guarded by mu_
  std::thread thread_;
  int backing_root_ = -1;
  static thread_local std::deque<Completion> deferred_;
};

}  // namespace zem::platform::fusefs

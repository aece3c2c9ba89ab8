#include "platform/linux/fuse_notifier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zem::platform::fusefs {

thread_local std::deque<Notifier::Completion> Notifier::deferred_;

void Notifier::WaitUntilVisible(const Completion& c) const {
  if (backing_root_ < 0 || c.backing_rel.empty()) return;
  struct stat st;
  // Bounded: a program may hold the folder locked for long.
  for (int i = 0; i < 400; ++i) {
    if (lstat(c.info.path.c_str(), &st) == 0 || errno != ENOENT) return;
    if (fstatat(backing_root_, c.backing_rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    usleep(500);
  }
}

Notifier::Notifier(const SyncRootCallbacks& callbacks)
    : callbacks_(callbacks), thread_(&Notifier::Run, this) {}

Notifier::~Notifier() { Stop(); }

bool Notifier::Wanted(Kind kind) const {
  switch (kind) {
    case Kind::kClose: return static_cast<bool>(callbacks_.close_completion);
    case Kind::kDelete: return static_cast<bool>(callbacks_.delete_completion);
    case Kind::kRename: return static_cast<bool>(callbacks_.rename_completion);
  }
  return false;
}

void Notifier::Defer(Kind kind, ChangeInfo info, std::string backing_rel) {
  // Numbered even when no callback wants it, so the sequence has no holes.
  uint64_t seq;
  {
    std::lock_guard lock(mu_);
    seq = next_number_++;
  }
  deferred_.push_back(Completion{seq, kind, std::move(info), std::move(backing_rel)});
}

void Notifier::FlushDeferred() {
  if (deferred_.empty()) return;
  std::lock_guard lock(mu_);
  while (!deferred_.empty()) {
    Completion c = std::move(deferred_.front());
    deferred_.pop_front();
    released_.emplace(c.seq, std::move(c));
  }
  wake_.notify_one();
}

void Notifier::Stop() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
}

void Notifier::Run() {
  std::unique_lock lock(mu_);
  for (;;) {
    // The next number in line, or, when stopping, whatever was released
    // (an operation that never finished leaves a hole nobody will fill).
    wake_.wait(lock, [&] { return stopping_ || released_.count(next_delivery_); });
    if (released_.empty()) return;  // stopping and drained
    auto it = released_.count(next_delivery_) ? released_.find(next_delivery_) : released_.begin();
    Completion c = std::move(it->second);
    released_.erase(it);
    next_delivery_ = c.seq + 1;
    if (!Wanted(c.kind)) continue;
    lock.unlock();
    switch (c.kind) {
      case Kind::kClose: callbacks_.close_completion(c.info); break;
      case Kind::kDelete: callbacks_.delete_completion(c.info); break;
      case Kind::kRename:
        WaitUntilVisible(c);
        callbacks_.rename_completion(c.info);
        break;
    }
    lock.lock();
  }
}

}  // namespace zem::platform::fusefs

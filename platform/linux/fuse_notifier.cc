#include "platform/linux/fuse_notifier.h"

namespace zem::platform::fusefs {

Notifier::Notifier(const SyncRootCallbacks& callbacks)
    : callbacks_(callbacks), thread_(&Notifier::Run, this) {}

Notifier::~Notifier() { Stop(); }

void Notifier::Post(Kind kind, ChangeInfo info) {
  const bool wanted = (kind == Kind::kClose && callbacks_.close_completion) ||
                      (kind == Kind::kDelete && callbacks_.delete_completion) ||
                      (kind == Kind::kRename && callbacks_.rename_completion);
  if (!wanted) return;
  std::lock_guard lock(mu_);
  if (stopping_) return;
  queue_.emplace_back(kind, std::move(info));
  wake_.notify_one();
}

thread_local std::deque<std::pair<Notifier::Kind, ChangeInfo>> Notifier::deferred_;

void Notifier::Defer(Kind kind, ChangeInfo info) { deferred_.emplace_back(kind, std::move(info)); }

void Notifier::FlushDeferred() {
  while (!deferred_.empty()) {
    auto [kind, info] = std::move(deferred_.front());
    deferred_.pop_front();
    Post(kind, std::move(info));
  }
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
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping and drained
    auto [kind, info] = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    switch (kind) {
      case Kind::kClose: callbacks_.close_completion(info); break;
      case Kind::kDelete: callbacks_.delete_completion(info); break;
      case Kind::kRename: callbacks_.rename_completion(info); break;
    }
    lock.lock();
  }
}

}  // namespace zem::platform::fusefs

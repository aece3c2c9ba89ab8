#include "platform/fetch_broker.h"

#include <algorithm>
#include <utility>

#include "platform/transfer_plan.h"

namespace zem::platform {
namespace {

// Where a window ends, cut at the end of the file.
int64_t WindowEnd(const FetchBroker::Window& w, int64_t file_size) {
  const int64_t end = w.offset + std::max<int64_t>(w.length, 0);
  return file_size >= 0 ? std::min(end, file_size) : end;
}

}  // namespace

FetchBroker::FetchBroker(Run run, Execute execute, size_t workers)
    : run_(std::move(run)), execute_(std::move(execute)) {
  workers = std::max<size_t>(workers, 1);
  for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
}

FetchBroker::~FetchBroker() { Stop(); }

void FetchBroker::Request(const Window& window, FetchDataInfo whole) {
  std::vector<Failure> failures;
  {
    std::lock_guard lock(mu_);
    auto it = by_file_.find(window.file);
    if (stopping_) {
      failures.push_back({window, kStatusUnsuccessful, whole.file_size, 0});
    } else if (it != by_file_.end() && !it->second->ended) {
      Fetch& f = *it->second;
      // Already handed over (the platform asked just before it arrived):
      // nothing to wait for.
      if (f.delivered < WindowEnd(window, f.info.file_size)) f.waiting.push_back(window);
    } else {
      auto f = std::make_shared<Fetch>();
      f->id = next_id_++;
      f->file = window.file;
      f->key = window.key;
      f->info = std::move(whole);
      f->info.key = TransferKey{window.key.connection, window.key.transfer, f->id};
      f->info.required_offset = 0;
      f->info.required_length = std::max<int64_t>(f->info.file_size, 0);
      f->waiting.push_back(window);
      by_id_[f->id] = f;
      by_file_[f->file] = f;
      queue_.push_back(f);
      work_cv_.notify_one();
    }
  }
  FailWindows(failures);
}

size_t FetchBroker::Cancel(int64_t file, int64_t offset, int64_t length) {
  std::shared_ptr<Fetch> cancelled;
  size_t dropped = 0;
  {
    std::lock_guard lock(mu_);
    auto it = by_file_.find(file);
    if (it == by_file_.end() || it->second->ended) return 0;
    Fetch& f = *it->second;
    const int64_t end = offset + std::max<int64_t>(length, 0);
    const auto inside = [&](const Window& w) {
      return w.offset >= offset && w.offset + w.length <= end;
    };
    const size_t before = f.waiting.size();
    f.waiting.erase(std::remove_if(f.waiting.begin(), f.waiting.end(), inside), f.waiting.end());
    dropped = before - f.waiting.size();
    if (dropped > 0 && f.waiting.empty()) {
      f.ended = true;
      cancelled = it->second;
      by_file_.erase(it);  // a new request starts a new fetch
    }
  }
  // Wait for a transfer in flight: nothing is sent once Cancel returns.
  if (cancelled) std::lock_guard wait_for_send(cancelled->send_mu);
  return dropped;
}

Status FetchBroker::Transfer(const TransferKey& key, uint32_t status, const void* data,
                             int64_t offset, int64_t length) {
  const auto gone = [&] {
    return StatusFromHresult("transfer to fetch " + std::to_string(key.request), kHrInvalidKey);
  };
  std::shared_ptr<Fetch> f;
  {
    std::lock_guard lock(mu_);
    auto it = by_id_.find(key.request);
    if (it == by_id_.end() || it->second->key.connection != key.connection) return gone();
    f = it->second;
  }
  std::lock_guard send(f->send_mu);
  if (status != kStatusSuccess) {
    std::vector<Failure> failures;
    {
      std::lock_guard lock(mu_);
      if (f->ended || stopping_) return gone();
      f->ended = true;
      TakeWaitingLocked(*f, status, &failures);
    }
    FailWindows(failures);
    return Status();
  }
  if (offset < 0 || length < 0 || !data) {
    return StatusFromHresult("transfer to fetch " + std::to_string(key.request), kHrInvalidArgument);
  }
  {
    std::lock_guard lock(mu_);
    if (f->ended || stopping_) return gone();
  }
  Status sent = execute_(f->key, kStatusSuccess, data, offset, length);
  if (!sent.ok()) return sent;
  std::lock_guard lock(mu_);
  if (offset <= f->delivered) f->delivered = std::max(f->delivered, offset + length);
  const int64_t size = f->info.file_size;
  f->waiting.erase(std::remove_if(f->waiting.begin(), f->waiting.end(),
                                  [&](const Window& w) { return f->delivered >= WindowEnd(w, size); }),
                   f->waiting.end());
  return sent;
}

bool FetchBroker::Active(const TransferKey& key) {
  std::lock_guard lock(mu_);
  auto it = by_id_.find(key.request);
  return it != by_id_.end() && !it->second->ended && !stopping_;
}

void FetchBroker::Stop() {
  std::vector<Failure> failures;
  std::vector<std::shared_ptr<Fetch>> running;
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    for (auto& [id, f] : by_id_) {
      if (f->ended) continue;
      f->ended = true;
      TakeWaitingLocked(*f, kStatusUnsuccessful, &failures);
      running.push_back(f);
    }
  }
  work_cv_.notify_all();
  for (auto& f : running) std::lock_guard wait_for_send(f->send_mu);
  FailWindows(failures);
  for (std::thread& t : workers_) {
    if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
  }
}

void FetchBroker::Work() {
  for (;;) {
    std::shared_ptr<Fetch> f;
    {
      std::unique_lock lock(mu_);
      work_cv_.wait(lock, [&] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) return;  // stopping
      f = queue_.front();
      queue_.pop_front();
      if (f->ended) {  // cancelled or stopped before it started
        FinishLocked(f);
        continue;
      }
    }
    try {
      run_(f->info);
    } catch (...) {
      // A callback that throws still ends its fetch below.
    }
    std::vector<Failure> failures;
    {
      std::lock_guard lock(mu_);
      // Windows still waiting when the callback returned were never
      // answered: they fail rather than wait for the platform's time-out.
      if (!f->ended) TakeWaitingLocked(*f, kStatusUnsuccessful, &failures);
      f->ended = true;
      FinishLocked(f);
    }
    FailWindows(failures);
  }
}

void FetchBroker::FinishLocked(const std::shared_ptr<Fetch>& f) {
  by_id_.erase(f->id);
  auto it = by_file_.find(f->file);
  if (it != by_file_.end() && it->second == f) by_file_.erase(it);
}

void FetchBroker::TakeWaitingLocked(Fetch& f, uint32_t status, std::vector<Failure>* out) {
  for (const Window& w : f.waiting) out->push_back({w, status, f.info.file_size, f.delivered});
  f.waiting.clear();
}

void FetchBroker::FailWindows(const std::vector<Failure>& failures) {
  for (const Failure& x : failures) {
    FileRange r = PlanFailureRange(x.file_size, x.window.offset, x.window.length, x.delivered);
    if (r.empty()) continue;  // all of it arrived
    execute_(x.window.key, x.status, nullptr, r.start, r.length());  // result not needed
  }
}

// --- SerialDispatcher ---------------------------------------------------------

SerialDispatcher::SerialDispatcher() : thread_([this] { Loop(); }) {}

SerialDispatcher::~SerialDispatcher() { Stop(); }

void SerialDispatcher::Post(std::function<void()> task) {
  std::lock_guard lock(mu_);
  if (stopping_) return;
  tasks_.push_back(std::move(task));
  cv_.notify_one();
}

void SerialDispatcher::Stop() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  cv_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void SerialDispatcher::Loop() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [&] { return !tasks_.empty() || stopping_; });
      if (tasks_.empty()) return;  // stopping, everything delivered
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    try {
      task();
    } catch (...) {
      // One failing handler does not end the deliveries.
    }
  }
}

}  // namespace zem::platform

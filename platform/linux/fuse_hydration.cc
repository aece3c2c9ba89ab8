#include "platform/linux/fuse_hydration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/cloud_files.h"
#include "platform/linux/cloud_files_xattrs.h"

namespace zem::platform::fusefs {

void RangeSet::Add(int64_t start, int64_t end) {
  if (end <= start) return;
  auto it = ranges_.upper_bound(start);
  if (it != ranges_.begin()) {
    auto prev = std::prev(it);
    if (prev->second >= start) {  // overlaps or touches the previous range
      start = prev->first;
      end = std::max(end, prev->second);
      it = ranges_.erase(prev);
    }
  }
  while (it != ranges_.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = ranges_.erase(it);
  }
  ranges_.emplace(start, end);
}

bool RangeSet::Covers(int64_t start, int64_t end) const {
  if (end <= start) return true;
  auto it = ranges_.upper_bound(start);
  if (it == ranges_.begin()) return false;
  --it;
  return it->first <= start && it->second >= end;
}

namespace {
void RestoreMtime(const FetchStart& s) {
  const struct timespec times[2] = {{0, UTIME_OMIT}, s.mtime};
  futimens(s.backing_fd, times);
}
}  // namespace

HydrationTable::Fetch::~Fetch() {
  if (start.backing_fd >= 0) close(start.backing_fd);
}

HydrationTable::HydrationTable(FetchRunner runner) : runner_(std::move(runner)) {}

HydrationTable::~HydrationTable() { Stop(); }

void HydrationTable::ReapWorkersLocked(std::vector<std::thread>* out) {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (*it->finished) {
      out->push_back(std::move(it->thread));
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

int HydrationTable::WaitForRange(ino_t inode, int64_t offset, int64_t length,
                                 const FetchOpener& opener) {
  std::vector<std::thread> reaped;
  std::unique_lock lock(mu_);
  if (stopping_) return EIO;
  std::shared_ptr<Fetch> f;
  if (auto it = by_inode_.find(inode); it != by_inode_.end()) {
    f = it->second;
  } else {
    FetchStart start;
    bool hydrated = false;
    if (int err = opener(&start, &hydrated); err != 0) return err;
    if (hydrated) {
      if (start.backing_fd >= 0) close(start.backing_fd);
      return 0;
    }
    f = std::make_shared<Fetch>();
    f->id = next_id_++;
    f->inode = inode;
    f->start = std::move(start);
    by_inode_[inode] = f;
    by_id_[f->id] = f;
    FinishIfCompleteLocked(f);  // an empty file needs no fetch
    if (f->done) return 0;
    ReapWorkersLocked(&reaped);
    auto finished = std::make_shared<bool>(false);
    workers_.push_back({std::thread(&HydrationTable::RunFetch, this, f, finished), finished});
  }
  const int64_t end = std::min(offset + length, f->start.size);
  arrived_cv_.wait(lock, [&] {
    return f->failed || f->done || stopping_ || f->arrived.Covers(offset, end);
  });
  const bool ok = f->done || (!f->failed && f->arrived.Covers(offset, end));
  lock.unlock();
  for (auto& t : reaped) t.join();
  return ok ? 0 : EIO;
}

bool HydrationTable::Active(int64_t id) {
  std::lock_guard lock(mu_);
  return !stopping_ && by_id_.count(id) != 0;
}

void HydrationTable::Abandon(ino_t inode) {
  std::shared_ptr<Fetch> f;
  {
    std::lock_guard lock(mu_);
    auto it = by_inode_.find(inode);
    if (it == by_inode_.end()) return;
    f = it->second;
  }
  std::lock_guard write_lock(f->write_mu);
  std::lock_guard lock(mu_);
  FailLocked(f);
}

bool HydrationTable::InFlight(ino_t inode) {
  std::lock_guard lock(mu_);
  return by_inode_.count(inode) != 0;
}

int HydrationTable::Transfer(int64_t id, uint32_t status, const void* data, int64_t offset,
                             int64_t length) {
  std::shared_ptr<Fetch> f;
  {
    std::lock_guard lock(mu_);
    auto it = by_id_.find(id);
    if (it == by_id_.end()) return ENOENT;
    f = it->second;
  }
  if (offset < 0 || length < 0) return EINVAL;
  std::lock_guard write_lock(f->write_mu);
  {
    std::lock_guard lock(mu_);
    if (f->failed || f->done) return ENOENT;
    if (status != kStatusSuccess) {
      FailLocked(f);
      return 0;
    }
  }
  // Bytes past the logical end (a body longer than the listed size) mean the
  // content is not what was listed: the fetch fails.
  if (offset + length > f->start.size) {
    std::lock_guard lock(mu_);
    FailLocked(f);
    return EINVAL;
  }
  const int64_t end = offset + length;
  const char* p = static_cast<const char*>(data);
  for (int64_t at = offset; at < end;) {
    const ssize_t n = pwrite(f->start.backing_fd, p + (at - offset),
                             static_cast<size_t>(end - at), at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;
      std::lock_guard lock(mu_);
      FailLocked(f);
      return err;
    }
    at += n;
  }
  std::lock_guard lock(mu_);
  f->arrived.Add(offset, std::max(offset, end));
  FinishIfCompleteLocked(f);
  arrived_cv_.notify_all();
  return 0;
}

void HydrationTable::FinishIfCompleteLocked(const std::shared_ptr<Fetch>& f) {
  if (f->done || f->failed || !f->arrived.Covers(0, f->start.size)) return;
  const int fd = f->start.backing_fd;
  // The content is whole: the file stops being a stand-in for remote data.
  if (ftruncate(fd, f->start.size) != 0 || RemoveXattr(fd, kXattrSize) != 0 ||
      UpdateStateBits(fd, kStateHydrated, kStateFetching) != 0) {
    FailLocked(f);
    return;
  }
  RestoreMtime(f->start);
  f->done = true;
  by_inode_.erase(f->inode);
  by_id_.erase(f->id);
  arrived_cv_.notify_all();
}

void HydrationTable::FailLocked(const std::shared_ptr<Fetch>& f) {
  if (f->done || f->failed) return;
  f->failed = true;
  // Never leave a partial body where an unmounted reader would take it for
  // the whole file.
  if (ftruncate(f->start.backing_fd, 0) == 0) {
    UpdateStateBits(f->start.backing_fd, 0, kStateFetching);
  }
  // Else the fetching mark stays, so the partial content is dropped at the
  // next access; the file keeps user.zem.size and stays remote either way.
  RestoreMtime(f->start);
  by_inode_.erase(f->inode);
  by_id_.erase(f->id);
  arrived_cv_.notify_all();
}

void HydrationTable::RunFetch(std::shared_ptr<Fetch> f, std::shared_ptr<bool> finished) {
  runner_(f->id, f->start);
  {
    // A callback that returns without covering the file has failed it.
    std::lock_guard write_lock(f->write_mu);
    std::lock_guard lock(mu_);
    FailLocked(f);
    *finished = true;
  }
}

void HydrationTable::Stop() {
  std::vector<std::shared_ptr<Fetch>> fetches;
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    for (auto& [id, f] : by_id_) fetches.push_back(f);
  }
  for (auto& f : fetches) {
    std::lock_guard write_lock(f->write_mu);
    std::lock_guard lock(mu_);
    FailLocked(f);
  }
  {
    std::lock_guard lock(mu_);
    arrived_cv_.notify_all();
  }
  std::vector<Worker> workers;
  {
    std::lock_guard lock(mu_);
    workers.swap(workers_);
  }
  for (auto& w : workers) w.thread.join();
}

}  // namespace zem::platform::fusefs

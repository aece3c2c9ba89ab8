// Paths that change, reported once they have been left alone for a while:
// a file being written is touched again with every write, and only the
// quiet file is worth an upload. Portable; the Windows provider's watcher of
// new plain files keeps one. Not thread-safe: one owner thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <vector>

namespace zem::platform {

class SettleQueue {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SettleQueue(Clock::duration settle) : settle_(settle) {}

  // `path` changed at `now`: it is due once nothing touched it for the
  // settle time.
  void Touch(const std::filesystem::path& path, Clock::time_point now);

  // `path` went away (deleted, or renamed elsewhere): it and everything
  // below it are no longer due.
  void Forget(const std::filesystem::path& path);

  // Takes the paths that have been quiet for the settle time at `now`, in
  // the order of their last change.
  std::vector<std::filesystem::path> TakeDue(Clock::time_point now);

  size_t size() const { return last_.size(); }

 private:
  Clock::duration settle_;
  uint64_t next_ = 0;
  std::map<std::filesystem::path, std::pair<Clock::time_point, uint64_t>> last_;
};

}  // namespace zem::platform

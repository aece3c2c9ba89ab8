#include "platform/settle_queue.h"

#include <algorithm>
#include <tuple>

namespace zem::platform {

void SettleQueue::Touch(const std::filesystem::path& path, Clock::time_point now) {
  last_[path] = {now, next_++};
}

void SettleQueue::Forget(const std::filesystem::path& path) {
  for (auto it = last_.begin(); it != last_.end();) {
    const auto [end, _] = std::mismatch(path.begin(), path.end(), it->first.begin(), it->first.end());
    it = end == path.end() ? last_.erase(it) : std::next(it);
  }
}

std::vector<std::filesystem::path> SettleQueue::TakeDue(Clock::time_point now) {
  std::vector<std::tuple<Clock::time_point, uint64_t, std::filesystem::path>> due;
  for (auto it = last_.begin(); it != last_.end();) {
    if (now - it->second.first >= settle_) {
      due.emplace_back(it->second.first, it->second.second, it->first);
      it = last_.erase(it);
    } else {
      ++it;
    }
  }
  std::sort(due.begin(), due.end());
  std::vector<std::filesystem::path> out;
  out.reserve(due.size());
  for (auto& d : due) out.push_back(std::move(std::get<2>(d)));
  return out;
}

}  // namespace zem::platform

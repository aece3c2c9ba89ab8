// The retry policy callers wrap around operations that may fail transiently.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>

namespace zem {

// Runs `op` up to four times: after a failure it prints
// "[RETRY] <label> failed; sleep <ms>ms then attempt <k>" and waits 1000,
// 2000, then 4000 ms (k = 2, 3, 4); after the fourth failure it prints
// "[RETRY-GIVEUP] <label> failed after 4 attempts" and returns false. Every
// false result counts as a failure. The wait cannot be interrupted.
bool WithRetry(std::string_view label, const std::function<bool()>& op);

// The wait between attempts; a monotonic-clock sleep unless replaced.
using RetrySleeper = std::function<void(std::chrono::milliseconds)>;

// Replaces the wait for the lifetime of the object (tests use it to record
// the waits instead of sleeping). Not nestable; set it while no retry runs.
class ScopedRetrySleeper {
 public:
  explicit ScopedRetrySleeper(RetrySleeper sleeper);
  ~ScopedRetrySleeper();
  ScopedRetrySleeper(const ScopedRetrySleeper&) = delete;
  ScopedRetrySleeper& operator=(const ScopedRetrySleeper&) = delete;
};

}  // namespace zem

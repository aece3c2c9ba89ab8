#include "client/retry.h"

#include <thread>
#include <utility>

#include "common/cat.h"
#include "common/output.h"

namespace zem {
namespace {

RetrySleeper& Sleeper() {
  static RetrySleeper sleeper;
  return sleeper;
}

void Wait(std::chrono::milliseconds ms) {
  if (Sleeper()) {
    Sleeper()(ms);
    return;
  }
  // sleep_until on the steady clock: a wall-clock change does not stretch
  // or cut the wait.
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + ms);
}

}  // namespace

bool WithRetry(std::string_view label, const std::function<bool()>& op) {
  if (op()) return true;
  constexpr int kWaitsMs[] = {1000, 2000, 4000};
  int attempt = 1;
  for (int wait : kWaitsMs) {
    ++attempt;
    Err(Cat("[RETRY] ", label, " failed; sleep ", wait, "ms then attempt ", attempt, "\n"));
    Wait(std::chrono::milliseconds(wait));
    if (op()) return true;
  }
  Err(Cat("[RETRY-GIVEUP] ", label, " failed after ", attempt, " attempts\n"));
  return false;
}

ScopedRetrySleeper::ScopedRetrySleeper(RetrySleeper sleeper) { Sleeper() = std::move(sleeper); }
ScopedRetrySleeper::~ScopedRetrySleeper() { Sleeper() = nullptr; }

}  // namespace zem

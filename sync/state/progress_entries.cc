#include "sync/state/progress_entries.h"

#include <chrono>
#include <mutex>

namespace zem {
namespace {

std::mutex g_progress_lock;  // progressLock: the list, the hooks, the clock
std::vector<ProgressEntry> g_entries;
std::function<void()> g_changed_hook;
BalloonHook g_balloon_hook;
std::function<int64_t()> g_clock;

int64_t NowLocked() {
  if (g_clock) return g_clock();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The first `limit` code units of `s`, one fewer when the cut would split a
// surrogate pair.
std::u16string_view Cut(std::u16string_view s, size_t limit) {
  if (s.size() <= limit) return s;
  size_t n = limit;
  if (n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
  return s.substr(0, n);
}

}  // namespace

uint64_t ProgressPercent(const ProgressEntry& e) {
  return e.total == 0 ? 0 : e.done * 100 / e.total;
}

void ReportTransferProgress(uint64_t key, std::u16string_view name, uint64_t done,
                            uint64_t total, TransferStatus status) {
  std::function<void()> hook;
  {
    std::lock_guard lock(g_progress_lock);
    const bool finished = status != TransferStatus::kActive;
    ProgressEntry* found = nullptr;
    for (ProgressEntry& e : g_entries) {
      if (e.key == key) {
        found = &e;
        break;
      }
    }
    if (found) {
      found->name = std::u16string(name);
      found->done = done;
      found->total = total;
      found->status = status;
      if (finished) found->finished_at = NowLocked();
    } else {
      g_entries.push_back(ProgressEntry{key, std::u16string(name), done, total, status,
                                        finished ? NowLocked() : 0});
      const int64_t now = NowLocked();
      std::erase_if(g_entries, [now](const ProgressEntry& e) {
        return e.status != TransferStatus::kActive && now - e.finished_at > kProgressKeepNanos;
      });
    }
    hook = g_changed_hook;
  }
  if (hook) hook();
}

std::vector<ProgressEntry> ProgressEntriesSnapshot() {
  std::lock_guard lock(g_progress_lock);
  return g_entries;
}

void SetProgressChangedHook(std::function<void()> hook) {
  std::lock_guard lock(g_progress_lock);
  g_changed_hook = std::move(hook);
}

void SetTrayBalloonHook(BalloonHook hook) {
  std::lock_guard lock(g_progress_lock);
  g_balloon_hook = std::move(hook);
}

void ShowTrayBalloon(std::u16string_view title, std::u16string_view text, bool is_error) {
  BalloonHook hook;
  {
    std::lock_guard lock(g_progress_lock);
    hook = g_balloon_hook;
  }
  if (hook) hook(Cut(title, 63), Cut(text, 255), is_error);
}

void ResetProgressEntriesForTest(std::function<int64_t()> clock) {
  std::lock_guard lock(g_progress_lock);
  g_entries.clear();
  g_changed_hook = nullptr;
  g_balloon_hook = nullptr;
  g_clock = std::move(clock);
}

}  // namespace zem

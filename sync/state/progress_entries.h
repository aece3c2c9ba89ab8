// ProgressEntries: the live list of real-time uploads (running, or finished
// less than a minute before the last new one started), written by the upload
// workers and read by the agent's windows; and the balloon with which a
// worker announces a finished upload.
//
// One lock (progressLock) guards the list; the hooks are called without it.
// Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sync/state/recent_transfers.h"

namespace zem {

struct ProgressEntry {
  uint64_t key = 0;     // the task's seq
  std::u16string name;  // leaf name of the file
  uint64_t done = 0;    // bytes sent
  uint64_t total = 0;   // bytes to send (0 while unknown)
  TransferStatus status = TransferStatus::kActive;
  int64_t finished_at = 0;  // monotonic ns when last written not Active; 0 for a new Active entry
};

// done × 100 / total in unsigned 64-bit arithmetic; 0 when total is 0.
uint64_t ProgressPercent(const ProgressEntry& entry);

// Finished entries leave the list at the first new entry that comes more
// than this long after they finished.
inline constexpr int64_t kProgressKeepNanos = 60'000'000'000;

// Creates the entry for `key`, or updates the existing one (name, bytes,
// status; a status other than Active stamps finished_at). Appending a new
// entry purges the finished ones that are too old. Then calls the change
// hook (the tray rebuilds its tip).
void ReportTransferProgress(uint64_t key, std::u16string_view name, uint64_t done,
                            uint64_t total, TransferStatus status);

// A copy of the list in insertion order.
std::vector<ProgressEntry> ProgressEntriesSnapshot();

// Called without the lock after every change; the agent points it at the
// tray window. Set before the workers start.
void SetProgressChangedHook(std::function<void()> hook);

// Shows a notification: the title cut to 63 and the text to 255 UTF-16 code
// units (never inside a surrogate pair), handed to the balloon hook, which
// the agent installs (the tray balloon on Windows, a desktop notification on
// Linux). Nothing without a hook.
using BalloonHook =
    std::function<void(std::u16string_view title, std::u16string_view text, bool is_error)>;
void SetTrayBalloonHook(BalloonHook hook);
void ShowTrayBalloon(std::u16string_view title, std::u16string_view text, bool is_error);

}  // namespace zem

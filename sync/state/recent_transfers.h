// RecentTransfers: the last 30 finished real-time uploads with their
// outcome, oldest first, for the progress popup. Saved in
// recent_transfers.txt: "<unix seconds>|D or E|<utf-8 name>" per line.
// One lock (recentLock) guards the list. Thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace zem {

enum class TransferStatus : int32_t { kActive = 0, kDone = 1, kFailed = 2 };

struct RecentTransfer {
  std::u16string name;
  TransferStatus status = TransferStatus::kDone;
  int64_t time = 0;  // seconds since 1970
};

inline constexpr size_t kRecentTransferLimit = 30;

// Reads the file (creating the app-data folder); remembers its path.
void LoadRecentTransfers();
// Appends a record with the current time (kActive is ignored), drops the
// oldest beyond 30, saves, then calls the change hook.
void RecordRecentTransfer(std::u16string_view name, TransferStatus status);
std::deque<RecentTransfer> RecentTransfersSnapshot();

// Called (without the lock) after every change; the agent points it at the
// tray window's refresh. Set before the workers start.
void SetRecentTransfersChangedHook(std::function<void()> hook);

// The format, exposed for tests: a line needs two bars, a number before the
// first and a non-empty name after the second; status E is Failed, any
// other letter Done; only the last 30 lines are kept.
void ParseRecentTransfers(std::string_view text, std::deque<RecentTransfer>& out);
std::string FormatRecentTransfers(const std::deque<RecentTransfer>& list);

}  // namespace zem

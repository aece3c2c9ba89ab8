#include "sync/state/recent_transfers.h"

#include <chrono>
#include <mutex>

#include "common/atomic_file.h"
#include "common/cat.h"
#include "common/config.h"
#include "platform/text.h"
#include "sync/state/state_text.h"

namespace zem {
namespace {

std::mutex g_recent_lock;  // recentLock: the list, the path, the hook
std::deque<RecentTransfer> g_list;
std::filesystem::path g_file;
std::function<void()> g_hook;

void Append(std::deque<RecentTransfer>& list, RecentTransfer record) {
  list.push_back(std::move(record));
  while (list.size() > kRecentTransferLimit) list.pop_front();
}

}  // namespace

void ParseRecentTransfers(std::string_view text, std::deque<RecentTransfer>& out) {
  for (std::string_view line : SplitStateLines(text)) {
    const size_t first = line.find('|');
    if (first == std::string_view::npos || first + 1 >= line.size()) continue;
    const size_t second = line.find('|', first + 1);
    if (second == std::string_view::npos) continue;
    int64_t time = 0;
    if (!ParseLeadingInt64(line.substr(0, first), &time)) continue;
    const std::string_view name = line.substr(second + 1);
    if (name.empty()) continue;
    const TransferStatus status =
        line[first + 1] == 'E' ? TransferStatus::kFailed : TransferStatus::kDone;
    Append(out, RecentTransfer{platform::Utf8ToWide(name), status, time});
  }
}

std::string FormatRecentTransfers(const std::deque<RecentTransfer>& list) {
  std::string out;
  for (const auto& r : list) {
    AppendStateLine(out, Cat(r.time, "|", r.status == TransferStatus::kFailed ? "E" : "D", "|",
                             platform::WideToUtf8(r.name)));
  }
  return out;
}

void LoadRecentTransfers() {
  const auto file = StateFilePath("recent_transfers.txt");
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  std::string text;
  const bool read = ReadWholeFile(file, &text);
  std::lock_guard lock(g_recent_lock);
  g_file = file;
  if (read) ParseRecentTransfers(text, g_list);
}

void RecordRecentTransfer(std::u16string_view name, TransferStatus status) {
  if (status == TransferStatus::kActive) return;
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  std::function<void()> hook;
  {
    std::lock_guard lock(g_recent_lock);
    Append(g_list, RecentTransfer{std::u16string(name), status, now});
    // Written under the lock: records are few and rare, and two writers must
    // not put an older list over a newer one.
    if (!g_file.empty()) WriteFileAtomically(g_file, FormatRecentTransfers(g_list));
    hook = g_hook;
  }
  if (hook) hook();
}

std::deque<RecentTransfer> RecentTransfersSnapshot() {
  std::lock_guard lock(g_recent_lock);
  return g_list;
}

void SetRecentTransfersChangedHook(std::function<void()> hook) {
  std::lock_guard lock(g_recent_lock);
  g_hook = std::move(hook);
}

void ResetRecentTransfersForTest() {
  std::lock_guard lock(g_recent_lock);
  g_list.clear();
  g_file.clear();
  g_hook = nullptr;
}

}  // namespace zem

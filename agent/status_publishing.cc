#include "agent/status_publishing.h"

#include "platform/text.h"
#include "sync/realtime/upload_queue.h"
#include "sync/state/agent_status.h"
#include "sync/state/progress_entries.h"
#include "sync/state/recent_transfers.h"

namespace zem::agent {

void StartStatusPublishing(const std::filesystem::path& root, std::string_view backend) {
  StartAgentStatus(platform::PathToUtf8(root), backend, [](TransferSample& s) {
    s.queue = static_cast<int64_t>(QueueLength());
    for (const auto& e : ProgressEntriesSnapshot()) {
      if (e.status != TransferStatus::kActive) continue;
      s.active.push_back({platform::WideToUtf8(e.name), static_cast<int>(ProgressPercent(e))});
    }
    for (const auto& r : RecentTransfersSnapshot()) {
      s.recent.push_back({r.time, r.status == TransferStatus::kFailed, platform::WideToUtf8(r.name)});
    }
  });
}

}  // namespace zem::agent

// Brings the sync machinery up around the sync-root connection and down
// again: the saved state before connecting, then the virtual roots, the
// documents root's folder id and the poll thread; at shutdown the poll
// thread is joined (it finishes a cycle in progress) before the root is
// disconnected.
#include "agent/sync_machinery.h"

#include <charconv>
#include <thread>

#include "agent/agent_state.h"
#include "platform/environment.h"
#include "sync/poll/folder_id_map.h"
#include "sync/poll/poll_loop.h"
#include "sync/state/dirty_cache.h"
#include "sync/state/known_files.h"
#include "sync/state/recent_transfers.h"
#include "sync/virtual_roots.h"

namespace zem::agent {
namespace {

std::thread g_poll_thread;  // started by StartSyncMachinery, joined by StopSyncMachinery

// ZEM_POLL_INTERVAL_MS overrides the 5-second interval (tests and
// benchmarks that want quicker cycles).
std::chrono::milliseconds PollInterval() {
  const auto text = platform::GetEnv("ZEM_POLL_INTERVAL_MS");
  if (!text) return kDefaultPollInterval;
  long long ms = 0;
  const auto r = std::from_chars(text->data(), text->data() + text->size(), ms);
  if (r.ec != std::errc() || ms <= 0) return kDefaultPollInterval;
  return std::chrono::milliseconds(ms);
}

}  // namespace

void LoadAgentState() {
  LoadKnownFiles();
  LoadRecentTransfers();
  LoadDirtyCache();
}

void StartSyncMachinery() {
  SetupVirtualRoots(SyncRootPath);
  SetFolderId(DocumentsRoot(SyncRootPath), "0");
  g_poll_thread = std::thread(
      [root = SyncRootPath, interval = PollInterval()] { PollLoop(root, AgentRunning, interval); });
}

void StopSyncMachinery() {
  if (g_poll_thread.joinable()) g_poll_thread.join();
}

}  // namespace zem::agent

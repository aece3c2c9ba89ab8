// Brings the sync machinery up around the sync-root connection and down
// again: the saved state and the upload queue before connecting, then the
// virtual roots, the documents root's folder id, the upload workers and the
// poll thread; at shutdown the poll thread is joined (it finishes a cycle in
// progress), then the workers drain the queue and end, before the root is
// disconnected.
#include "agent/sync_machinery.h"

#include <charconv>
#include <thread>

#include "agent/agent_state.h"
#include "common/cat.h"
#include "common/config.h"
#include "common/output.h"
#include "platform/desktop_notification.h"
#include "platform/environment.h"
#include "platform/text.h"
#include "sync/poll/folder_id_map.h"
#include "sync/poll/poll_loop.h"
#include "sync/realtime/upload_queue.h"
#include "sync/realtime/upload_worker.h"
#include "sync/state/dirty_cache.h"
#include "sync/state/known_files.h"
#include "sync/state/progress_entries.h"
#include "sync/state/recent_transfers.h"
#include "sync/virtual_roots.h"

namespace zem::agent {
namespace {

constexpr size_t kUploadWorkerCount = 2;

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
  const std::filesystem::path queue = UploadQueuePath();
  LoadUploadQueue(queue);
  Out(Cat("[CFG] upload queue persisted at ", platform::PathToUtf8(queue), " (recovered ",
          QueueLength(), " tasks)\n"));
}

void StartSyncMachinery() {
  SetupVirtualRoots(SyncRootPath);
  SetFolderId(DocumentsRoot(SyncRootPath), "0");
  // Where there is no tray window to show balloons, a finished upload is
  // announced as a desktop notification.
  SetTrayBalloonHook([](std::u16string_view title, std::u16string_view text, bool is_error) {
    platform::ShowDesktopNotification(platform::WideToUtf8(title), platform::WideToUtf8(text),
                                      is_error);
  });
  StartUploadWorkers(kUploadWorkerCount);
  Out(Cat("[OK] upload workers started: ", kUploadWorkerCount, "\n"));
  g_poll_thread = std::thread(
      [root = SyncRootPath, interval = PollInterval()] { PollLoop(root, AgentRunning, interval); });
}

void StopSyncMachinery() {
  if (g_poll_thread.joinable()) g_poll_thread.join();
  const uint64_t left = StopUploadWorkers();
  if (left == 0) {
    Out("[OK] upload workers stopped.\n");
  } else {
    Out(Cat("[OK] upload workers stopped. (", left, " tasks left for the next start)\n"));
  }
}

}  // namespace zem::agent

// The sync machinery around the sync-root connection: the saved state and
// the upload queue are loaded before it, the virtual roots, the documents
// root's folder id and the upload workers start after it, and the workers
// stop (draining the queue) before it ends.
#include "agent/sync_machinery.h"

#include "agent/agent_state.h"
#include "common/cat.h"
#include "common/config.h"
#include "common/output.h"
#include "platform/desktop_notification.h"
#include "platform/text.h"
#include "sync/poll/folder_id_map.h"
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
}

void StopSyncMachinery() {
  const uint64_t left = StopUploadWorkers();
  if (left == 0) {
    Out("[OK] upload workers stopped.\n");
  } else {
    Out(Cat("[OK] upload workers stopped. (", left, " tasks left for the next start)\n"));
  }
}

}  // namespace zem::agent

#include "sync/poll/poll_loop.h"

#include <thread>

#include "common/cat.h"
#include "common/output.h"
#include "sync/placeholders.h"
#include "sync/poll/diff_dir.h"
#include "sync/poll/read_only_views.h"
#include "sync/state/agent_status.h"
#include "sync/state/dirty_cache.h"
#include "sync/state/known_files.h"
#include "sync/virtual_roots.h"

namespace zem {
namespace fs = std::filesystem;
namespace {

void RunCycle(const fs::path& sync_root) {
  const auto start = std::chrono::steady_clock::now();
  const auto start_unix = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  PollCounters counters;
  DiffDir(DocumentsRoot(sync_root), "0", &counters);
  RecycleUserDeletions(&counters);
  RemoveItemsGoneFromService(&counters);
  SyncSharedView(SharedRoot(sync_root));
  SyncRecycleView(RecycleRoot(sync_root));
  // The state files are written only when something changed.
  SaveKnownFiles();
  SaveDirtyCache();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  const std::string result = Cat(counters.folders_listed, " folders listed, ", counters.files_hashed,
                                 " files hashed, ", counters.uploads, " uploads");
  Out(Cat("[SYNC] cycle: ", result, ", ", ms, " ms\n"));
  ReportPollCycle(start_unix, ms, result);
}

// Waits `interval` in short steps, so a stop ends the wait at once.
void Wait(const std::atomic<bool>& running, std::chrono::milliseconds interval) {
  const auto until = std::chrono::steady_clock::now() + interval;
  while (running.load()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        until - now, std::chrono::milliseconds(100)));
  }
}

}  // namespace

void PollLoop(const fs::path& sync_root, const std::atomic<bool>& running,
              std::chrono::milliseconds interval) {
  Out("[SYNC] initial poll on 我的文档/ + 共享给我/ + ZEM 回收站/\n");
  RunCycle(sync_root);
  // Marks the mirrored placeholders in sync beside the following cycles;
  // owned here so it never outlives the sync root's connection.
  std::thread reassert([sync_root] {
    ReassertInSync(DocumentsRoot(sync_root));
    ReassertInSync(SharedRoot(sync_root));
    ReassertInSync(RecycleRoot(sync_root));
  });
  while (running.load()) {
    Wait(running, interval);
    if (!running.load()) break;
    Out("[SYNC] poll start\n");
    RunCycle(sync_root);
    Out("[SYNC] poll done\n");
  }
  reassert.join();
}

}  // namespace zem

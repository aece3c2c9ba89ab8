// The poll thread's body: an initial reconciliation of the documents tree
// and the two read-only views, then one cycle every interval until the stop
// flag clears. A cycle in progress is finished; the wait is cut short.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>

namespace zem {

inline constexpr std::chrono::milliseconds kDefaultPollInterval{5000};

// Runs on the calling thread until `running` is false. The documents root
// must be mapped to "0" in FolderIdMap before. Lines: "[SYNC] initial poll
// on …", "[SYNC] poll start", "[SYNC] cycle: …", "[SYNC] poll done", and
// the "[REASSERT]" lines of the pass that runs beside the first cycles.
void PollLoop(const std::filesystem::path& sync_root, const std::atomic<bool>& running,
              std::chrono::milliseconds interval = kDefaultPollInterval);

}  // namespace zem

// Watches the sync-root tree for new plain files. The Cloud Files API
// reports closes of placeholders only; a file the user creates in the folder
// is not one, so without this the agent would learn of it only at the next
// poll cycle. ReadDirectoryChangesW runs overlapped on a thread of the
// watcher's own; each plain file (no folder, no placeholder) that was added,
// written or renamed into the tree is reported once nothing touched it for
// the settle time. Lost notifications (a full buffer) are left to the poll
// cycle.
#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace zem::platform {

// How long a new file must be left alone before it is reported.
inline constexpr std::chrono::milliseconds kNewFileSettle{2000};

class DirectoryWatcher {
 public:
  // Called on the watcher's thread with the full path of a settled file.
  using Report = std::function<void(const std::filesystem::path&)>;

  // Starts watching `root` and everything below it. When the folder cannot
  // be opened nothing is watched (watching() is false).
  DirectoryWatcher(const std::filesystem::path& root, std::chrono::milliseconds settle,
                   Report report);
  ~DirectoryWatcher();  // Stop()
  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

  bool watching() const { return thread_.joinable(); }

  // Ends the watch and joins the thread; files not settled yet are not
  // reported. Idempotent; not from the report callback.
  void Stop();

 private:
  void Run();

  std::filesystem::path root_;
  std::chrono::milliseconds settle_;
  Report report_;
  HANDLE dir_ = INVALID_HANDLE_VALUE;
  HANDLE stop_ = nullptr;
  std::thread thread_;
};

}  // namespace zem::platform

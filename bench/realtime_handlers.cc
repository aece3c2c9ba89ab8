// How long the change handlers take per call (they run on the sync root's
// notification thread and must return at once): N closes of new files, N
// renames and N deletes of file placeholders, called directly on a plain
// folder with no workers running, so the queue (and its file, rewritten at
// every enqueue) grows to 3N tasks. Prints p50, p99 and max per kind and a
// baseline: one stat of the same files, measured in the same run.
// Usage: realtime_handlers [N] (default 1000)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/output.h"
#include "platform/process.h"
#include "sync/poll/folder_id_map.h"
#include "sync/realtime/change_handlers.h"
#include "sync/realtime/upload_queue.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void Report(const char* what, std::vector<double>& us) {
  std::sort(us.begin(), us.end());
  const auto at = [&](double q) { return us[static_cast<size_t>(q * (us.size() - 1))]; };
  std::printf("[bench] %-8s p50 %7.1f us  p99 %7.1f us  max %8.1f us\n", what, at(0.5), at(0.99),
              us.back());
}

template <typename F>
double TimeUs(F f) {
  const auto t0 = Clock::now();
  f();
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
  const fs::path root = fs::temp_directory_path() / ("zem-rt-handlers-" + std::to_string(getpid()));
  const fs::path docs = root / "docs";
  fs::create_directories(docs);
  zem::SetRealtimeSyncRoot(root);
  zem::SetFolderId(docs, "0");
  zem::LoadQueue(root / "upload_queue.txt");
  for (int i = 0; i < n; ++i) std::ofstream(docs / ("f" + std::to_string(i) + ".txt")) << "x" << i;

  std::vector<double> stat_us, close_us, rename_us, delete_us;
  {
    zem::ScopedOutputCapture quiet;  // the pending marks fail outside a sync root
    for (int i = 0; i < n; ++i) {
      const fs::path p = docs / ("f" + std::to_string(i) + ".txt");
      struct stat st;
      stat_us.push_back(TimeUs([&] { stat(p.c_str(), &st); }));
      zem::platform::ChangeInfo info;
      info.path = p;
      info.pid = zem::platform::CurrentProcessId() + 1;
      close_us.push_back(TimeUs([&] { zem::OnFileCloseCompletion(info); }));
    }
    for (int i = 0; i < n; ++i) {
      zem::platform::ChangeInfo info;
      info.identity = "F:r" + std::to_string(i);
      info.source_path = docs / ("r" + std::to_string(i) + ".txt");
      info.path = docs / ("s" + std::to_string(i) + ".txt");
      info.pid = zem::platform::CurrentProcessId() + 1;
      rename_us.push_back(TimeUs([&] { zem::OnRenameCompletion(info); }));
    }
    for (int i = 0; i < n; ++i) {
      zem::platform::ChangeInfo info;
      info.identity = "F:d" + std::to_string(i);
      info.path = docs / ("d" + std::to_string(i) + ".txt");
      info.pid = zem::platform::CurrentProcessId() + 1;
      delete_us.push_back(TimeUs([&] { zem::OnDeleteCompletion(info); }));
    }
  }
  std::printf("[bench] %d calls each; queue %llu tasks at the end\n", n,
              static_cast<unsigned long long>(zem::QueueLength()));
  Report("stat", stat_us);
  Report("close", close_us);
  Report("rename", rename_us);
  Report("delete", delete_us);
  fs::remove_all(root);
  return 0;
}

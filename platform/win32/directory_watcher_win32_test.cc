// The watcher of new plain files, driven under Wine (ReadDirectoryChangesW
// works there; the Cloud Files API does not).
#include "platform/win32/directory_watcher_win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <vector>

namespace zem::platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(DirectoryWatcher, ReportsWrittenPlainFilesOnceTheyAreLeftAlone) {
  const fs::path root =
      fs::temp_directory_path() / ("zem-watch-" + std::to_string(GetCurrentProcessId()));
  fs::remove_all(root);
  fs::create_directories(root / "sub");
  std::mutex mu;
  std::vector<fs::path> reported;
  auto count = [&](const fs::path& p) {
    std::lock_guard l(mu);
    return std::count(reported.begin(), reported.end(), p);
  };
  {
    DirectoryWatcher watcher(root, 400ms, [&](const fs::path& p) {
      std::lock_guard l(mu);
      reported.push_back(p);
    });
    ASSERT_TRUE(watcher.watching());
    // Written in several goes within the settle time: one report, after it.
    // (Wine reports changes of the watched folder itself only, not of its
    // subfolders, so the files here are at its top.)
    const fs::path doc = root / "报告.txt";
    for (int i = 0; i < 4; ++i) {
      std::ofstream(doc, std::ios::app) << "line " << i << "\n";
      Sleep(100);
    }
    EXPECT_EQ(count(doc), 0);
    // A file created and deleted at once, and a new folder, are not reported.
    const fs::path gone = root / "gone.tmp";
    { std::ofstream(gone) << "x"; }
    fs::remove(gone);
    fs::create_directories(root / "newdir");
    for (int i = 0; i < 50 && count(doc) == 0; ++i) Sleep(100);
    EXPECT_EQ(count(doc), 1);
    Sleep(700);
    EXPECT_EQ(count(doc), 1);  // once per change
    EXPECT_EQ(count(gone), 0);
    EXPECT_EQ(count(root / "newdir"), 0);
    // Written again later: reported again.
    std::ofstream(doc, std::ios::app) << "more\n";
    for (int i = 0; i < 50 && count(doc) < 2; ++i) Sleep(100);
    EXPECT_EQ(count(doc), 2);
    watcher.Stop();
    std::ofstream(root / "after.txt") << "x";  // after the stop: never reported
    Sleep(700);
    EXPECT_EQ(count(root / "after.txt"), 0);
  }
  DirectoryWatcher missing(root / "missing", 100ms, [](const fs::path&) {});
  EXPECT_FALSE(missing.watching());
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
}  // namespace zem::platform

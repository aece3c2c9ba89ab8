// The state files: their line formats with the malformed lines a crash or a
// hand edit leaves, the platform's line end on disk, and saves that write
// only when something changed.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/config.h"
#include "common/test_file_aside.h"
#include "platform/environment.h"
#include "platform/local_conventions.h"
#include "platform/text.h"
#include "sync/state/dirty_cache.h"
#include "sync/state/known_files.h"
#include "sync/state/recent_transfers.h"
#include "sync/virtual_roots.h"
#include "tests/support/temp_home.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_hooks.h"

namespace zem {
namespace {
namespace fs = std::filesystem;

TEST(StateFormats, DirtyCacheSkipsMalformedLinesAndLaterLinesWin) {
  DirtyMap map;
  ParseDirtyCache(
      "/a|12|aaaa\r\n"
      "/one-bar|12\n"
      "\n"
      "/b|x9|bbbb\n"      // no number: skipped
      "/c| -7 junk|\n"    // negative, trailing text, empty hash
      "/p|a|b|5|cccc\n"   // a bar in a (Linux) name: no entry rather than a wrong one
      "/a|13|dddd\n",
      map);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map[u"/a"], (DirtyEntry{13, "dddd"}));
  EXPECT_EQ(map[u"/c"], (DirtyEntry{-7, ""}));
  EXPECT_EQ(map.count(u"/p"), 0u);
  EXPECT_EQ(map.count(u"/b"), 0u);
  // What is written reads back the same.
  DirtyMap again;
  ParseDirtyCache(FormatDirtyCache(map), again);
  EXPECT_EQ(again, map);
}

TEST(StateFormats, RecentTransfersKeepTheLastThirtyValidLines) {
  std::string text = "notanumber|D|skipped.txt\n5|D|\n7|E\n";
  for (int i = 0; i < 31; ++i) text += std::to_string(100 + i) + (i == 30 ? "|E|" : "|X|") + "文件" + std::to_string(i) + "\r\n";
  std::deque<RecentTransfer> list;
  ParseRecentTransfers(text, list);
  ASSERT_EQ(list.size(), 30u);
  EXPECT_EQ(list.front().time, 101);  // the first valid line fell off
  EXPECT_EQ(list.front().status, TransferStatus::kDone);
  EXPECT_EQ(list.back().status, TransferStatus::kFailed);
  EXPECT_EQ(list.back().name, platform::Utf8ToWide("文件30"));
}

TEST(StateFormats, KnownIdsAndPaths) {
  std::map<std::string, std::string> known;
  ParseKnownIds("a\r\n\nb\na\n", known);
  EXPECT_EQ(known.size(), 2u);
  ParseKnownPaths("a|/x/a.txt\n|/no-id\nb|\nc-only\nb|/x/b|with|bars\n", known);
  EXPECT_EQ(known["a"], "/x/a.txt");
  EXPECT_EQ(known["b"], "/x/b|with|bars");
  EXPECT_EQ(known.count(""), 0u);
}

TEST(StateFormats, DesktopIniNamesTheIconOnThreeCrLfLines) {
  EXPECT_EQ(DesktopIniText(152),
            "[.ShellClassInfo]\r\nIconResource=%SystemRoot%\\system32\\imageres.dll,152\r\n"
            "ConfirmFileOp=0\r\n");
}

// The files themselves, in a throw-away home (under Wine: the prefix's
// app-data folder, with whatever was there set aside).
class StateFilesOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, value] : home_.Options().env) {
      env_.push_back(std::make_unique<platform::ScopedEnv>(name, value));
    }
    for (const char* name : {"dirty_cache.txt", "known_files.txt", "known_paths.txt",
                             "recent_transfers.txt"}) {
      aside_.push_back(std::make_unique<testing::FileAside>(StateFilePath(name)));
    }
    ResetDirtyCacheForTest();
    ResetKnownFilesForTest();
    ResetRecentTransfersForTest();
  }
  void TearDown() override {
    ResetDirtyCacheForTest();
    ResetKnownFilesForTest();
    ResetRecentTransfersForTest();
  }
  static std::string Read(const char* name) { return testing::TempHome::Read(StateFilePath(name)); }

  testing::TempHome home_;
  std::vector<std::unique_ptr<platform::ScopedEnv>> env_;
  std::vector<std::unique_ptr<testing::FileAside>> aside_;
};

TEST_F(StateFilesOnDisk, SavesUsePlatformLineEndsAndSkipUnchangedState) {
  const std::string eol(platform::TextFileLineEnd());
  LoadKnownFiles();
  LoadDirtyCache();
  LoadRecentTransfers();
  AddKnownFile("id-1", platform::PathFromUtf8("/root/我的文档/a.txt"));
  AddKnownFile("id-2", {});
  SetDirtyEntry(platform::PathFromUtf8("/root/我的文档/a.txt"), DirtyEntry{1700000000, "ab"});
  SaveKnownFiles();
  SaveDirtyCache();
  RecordRecentTransfer(u"a.txt", TransferStatus::kDone);
  RecordRecentTransfer(u"ignored", TransferStatus::kActive);
  EXPECT_EQ(Read("known_files.txt"), "id-1" + eol + "id-2" + eol);
  EXPECT_EQ(Read("known_paths.txt"), "id-1|/root/我的文档/a.txt" + eol);
  EXPECT_EQ(Read("dirty_cache.txt"), "/root/我的文档/a.txt|1700000000|ab" + eol);
  const std::string recent = Read("recent_transfers.txt");
  EXPECT_NE(recent.find("|D|a.txt" + eol), std::string::npos);
  EXPECT_EQ(recent.find("ignored"), std::string::npos);

  // Nothing changed: nothing is written (a removed file stays removed).
  fs::remove(StateFilePath("known_files.txt"));
  fs::remove(StateFilePath("dirty_cache.txt"));
  AddKnownFile("id-1", platform::PathFromUtf8("/root/我的文档/a.txt"));
  SetDirtyEntry(platform::PathFromUtf8("/root/我的文档/a.txt"), DirtyEntry{1700000000, "ab"});
  SaveKnownFiles();
  SaveDirtyCache();
  EXPECT_FALSE(fs::exists(StateFilePath("known_files.txt")));
  EXPECT_FALSE(fs::exists(StateFilePath("dirty_cache.txt")));

  // A change is written whole, and loads back after a restart.
  ForgetKnownFile("id-2");
  MoveDirtyEntry(platform::PathFromUtf8("/root/我的文档/a.txt"),
                 platform::PathFromUtf8("/root/我的文档/b.txt"));
  SaveKnownFiles();
  SaveDirtyCache();
  ResetKnownFilesForTest();
  ResetDirtyCacheForTest();
  LoadKnownFiles();
  LoadDirtyCache();
  EXPECT_TRUE(IsKnownFile("id-1"));
  EXPECT_FALSE(IsKnownFile("id-2"));
  EXPECT_EQ(KnownFilePath("id-1"), platform::PathFromUtf8("/root/我的文档/a.txt"));
  EXPECT_FALSE(FindDirtyEntry(platform::PathFromUtf8("/root/我的文档/a.txt")));
  EXPECT_EQ(FindDirtyEntry(platform::PathFromUtf8("/root/我的文档/b.txt"))->sha256, "ab");
  // No temporary file is left beside them.
  for (const auto& e : fs::directory_iterator(StateFilePath("known_files.txt").parent_path())) {
    EXPECT_NE(e.path().extension(), ".tmp") << e.path();
  }
}

TEST_F(StateFilesOnDisk, DesktopIniIsWrittenHiddenAndSystem) {
  const fs::path folder = home_.root() / "root";
  fs::create_directories(folder);
  WriteDesktopIni(folder, 54);
  WriteDesktopIni(folder, 54);  // an earlier hidden, system copy is replaced
  EXPECT_EQ(testing::TempHome::Read(folder / "desktop.ini"), DesktopIniText(54));
}

}  // namespace
}  // namespace zem

// populate under Wine, which has no Cloud Files API (no cldapi.dll): the walk
// must stop at the first batch with a clear error instead of counting the
// whole tree as skipped, and populate.exe must keep its exit codes.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "common/config.h"
#include "common/output.h"
#include "platform/process.h"
#include "platform/text.h"
#include "tools/populate/tree_populator.h"

namespace zem {
namespace {
namespace fs = std::filesystem;

fs::path Populate() { return fs::path(ZEM_BIN_DIR) / "populate.exe"; }

TEST(PopulateUnderWine, WithoutCloudFilesTheWalkStopsAtTheFirstBatch) {
  const fs::path dir = fs::temp_directory_path() / "zem-populate-wine";
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  std::vector<std::string> asked;
  populate::TreePopulator walker([&](const std::string& id, std::vector<FolderEntry>& folders,
                                     std::vector<FileEntry>& files) {
    asked.push_back(id);
    folders = {FolderEntry{"5", u"sub"}};
    files = {FileEntry{"6", u"a.txt", 3, ""}};
    return true;
  });
  ScopedOutputCapture capture;
  EXPECT_FALSE(walker.PopulateFolder(dir, "0"));
  EXPECT_TRUE(walker.provider_unavailable());
  EXPECT_NE(capture.err().find("[ERR] Cloud Files API unavailable"), std::string::npos)
      << capture.err();
  EXPECT_EQ(capture.out().find("skipped="), std::string::npos) << capture.out();
  EXPECT_EQ(asked, std::vector<std::string>{"0"});  // nothing below is listed
  fs::remove_all(dir, ec);
}

class PopulateExeUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ec;
    fs::remove_all(SyncRootDir(), ec);
    had_config_ = fs::exists(ConfigFilePath());
    if (had_config_) fs::copy_file(ConfigFilePath(), Backup(), fs::copy_options::overwrite_existing, ec);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(SyncRootDir(), ec);
    if (had_config_) {
      fs::copy_file(Backup(), ConfigFilePath(), fs::copy_options::overwrite_existing, ec);
      fs::remove(Backup(), ec);
    } else {
      fs::remove(ConfigFilePath(), ec);
    }
  }
  static fs::path Backup() { return fs::path(ConfigFilePath()).concat(".populate-test"); }
  bool had_config_ = false;
};

TEST_F(PopulateExeUnderWine, MissingSyncRootExitsTwo) {
  const auto r = platform::RunProcess(Populate(), {});
  ASSERT_TRUE(r.started());
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "[ERR] sync root not found: " + platform::PathToUtf8(SyncRootDir()) + "\r\n");
}

TEST_F(PopulateExeUnderWine, UnreachableServiceFailsTheRootListing) {
  fs::create_directories(SyncRootDir());
  fs::create_directories(AppDataDir());
  std::ofstream(ConfigFilePath(), std::ios::binary) << R"({"host":"127.0.0.1","port":1})";
  const auto r = platform::RunProcess(Populate(), {"ignored-argument"});
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_EQ(r.out, "[BFS] populating from root...\r\n");
  EXPECT_EQ(r.err,
            "[WARN] populate: unknown argument ignored: ignored-argument (populate --help)\r\n"
            "[ERR] folder/list HTTP failed for id=0\r\n[ERR] populate finished with errors\r\n");
}

}  // namespace
}  // namespace zem

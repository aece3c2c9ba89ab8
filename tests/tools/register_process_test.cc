// register run as a process in a throw-away home: the registration mark on
// the folder, the file-manager bookmark, exit codes and repeated runs.
#include <fstream>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/sync_root_registration.h"
#include "tests/support/temp_home.h"

namespace zem {
namespace {

constexpr char kId[] = "ZemCloudDisk!default!default";
constexpr char kUri[] = "/ZEM%E4%BA%91%E7%9B%98";

class RegisterProcessTest : public ::testing::Test {
 protected:
  platform::ProcessResult Run(std::vector<std::string> args) {
    return platform::RunProcess(std::filesystem::path(ZEM_BIN_DIR) / "register", args,
                                home_.Options());
  }
  std::filesystem::path Bookmarks() const { return home_.config_home() / "gtk-3.0" / "bookmarks"; }
  std::string BookmarkLine() const {
    return "file://" + home_.root().string() + kUri + " ZEM云盘";
  }
  // The registration id the folder carries, or "" when it carries ours not.
  std::string Mark() const {
    return platform::IsSyncRootRegistered(home_.sync_root(), kId) ? kId : "";
  }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  testing::TempHome home_;
};

TEST_F(RegisterProcessTest, RegisterTwiceMarksOnceAndKeepsOneBookmark) {
  std::filesystem::create_directories(Bookmarks().parent_path());
  std::ofstream(Bookmarks()) << "file:///srv/other Other\n";

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const auto r = Run({});
    ASSERT_TRUE(r.started());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[OK] Sync root registered.\n     ID  : ZemCloudDisk!default!default\n"
                         "     Path: " + home_.sync_root().string() + "\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("     Icon: "), std::string::npos);
    EXPECT_NE(r.out.find(",0\n"), std::string::npos);
    EXPECT_NE(r.out.find("bookmark=file://" + home_.root().string() + kUri + ")\n"),
              std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_directory(home_.sync_root()));
    EXPECT_EQ(Mark(), kId);
    const std::string marks = testing::TempHome::Read(Bookmarks());
    EXPECT_EQ(marks, "file:///srv/other Other\n" + BookmarkLine() + "\n");
  }
}

TEST_F(RegisterProcessTest, UnregisterTwiceRemovesBothThenWarnsAndExitsZero) {
  ASSERT_EQ(Run({}).exit_code, 0);
  std::ofstream(Bookmarks(), std::ios::app) << "file:///srv/other Other\n";

  auto r = Run({"-u"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("     已移除文件管理器书签 (bookmark=file://"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[OK] Sync root unregistered: ZemCloudDisk!default!default\n"),
            std::string::npos) << r.out;
  EXPECT_EQ(Mark(), "");
  EXPECT_EQ(testing::TempHome::Read(Bookmarks()), "file:///srv/other Other\n");
  EXPECT_TRUE(std::filesystem::is_directory(home_.sync_root()));  // content is never touched

  r = Run({"--unregister"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.find("已移除"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[WARN] Unregister HRESULT=0x8007"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("[WARN] Unregister failed: "), std::string::npos) << r.err;
  EXPECT_EQ(testing::TempHome::Read(Bookmarks()), "file:///srv/other Other\n");
}

TEST_F(RegisterProcessTest, OtherArgumentsRegisterAndDashUAnywhereUnregisters) {
  auto r = Run({"foo"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Mark(), kId);
  // Ignored, but not silently.
  EXPECT_EQ(r.err, "[WARN] register: unknown argument ignored: foo (register --help)\n");
  r = Run({"foo", "-u"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Mark(), "");
  EXPECT_NE(r.err.find("[WARN] register: unknown argument ignored: foo (register --help)\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Count(testing::TempHome::Read(Bookmarks()), "ZEM云盘"), 0u);
}

TEST_F(RegisterProcessTest, HelpPrintsUsageAndChangesNothing) {
  const auto r = Run({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("--unregister"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(home_.sync_root()));
  EXPECT_FALSE(std::filesystem::exists(Bookmarks()));
}

TEST_F(RegisterProcessTest, FolderThatCannotBeCreatedExitsOne) {
  // The profile "folder" is a file, so the sync-root folder cannot be made.
  const auto file_home = home_.root() / "not-a-folder";
  std::ofstream(file_home) << "x";
  auto options = home_.Options();
  options.env["HOME"] = file_home.string();
  const auto r = platform::RunProcess(std::filesystem::path(ZEM_BIN_DIR) / "register", {}, options);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("[ERR] create dir failed: " + (file_home / "ZEM云盘").string() + " (", 0), 0u)
      << r.err;
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace zem

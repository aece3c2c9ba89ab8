// register against a folder whose registration mark cannot be written (the
// immutable flag refuses even root's setxattr): the warning, the exit code
// with and without an earlier registration, and the repaired bookmark.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/process.h"
#include "tests/support/temp_home.h"

namespace zem {
namespace {

class RegisterMarkTest : public ::testing::Test {
 protected:
  platform::ProcessResult Run(std::vector<std::string> args) {
    return platform::RunProcess(std::filesystem::path(ZEM_BIN_DIR) / "register", args,
                                home_.Options());
  }
  std::filesystem::path Bookmarks() const { return home_.config_home() / "gtk-3.0" / "bookmarks"; }
  std::string BookmarkLine() const {
    return "file://" + home_.root().string() + "/ZEM%E4%BA%91%E7%9B%98 ZEM云盘";
  }
  testing::TempHome home_;
};

// Sets or clears the immutable flag, which refuses even root's setxattr.
bool SetImmutable(const std::filesystem::path& dir, bool on) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

TEST_F(RegisterMarkTest, RefusedMarkWarnsAndExitCodeDependsOnExistingRegistration) {
  std::filesystem::create_directories(home_.sync_root());
  if (!SetImmutable(home_.sync_root(), true)) GTEST_SKIP() << "no immutable flag here";
  // Unmarked folder whose mark cannot be written: registration failed and
  // there is no registration to fall back on.
  auto r = Run({});
  SetImmutable(home_.sync_root(), false);
  EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
  EXPECT_NE(r.out.find("[WARN] Register HRESULT=0x80070001"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("[ERR] 未找到同步根注册标记"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(Bookmarks()));

  // Already marked: the refusal is only a warning and the bookmark is repaired.
  ASSERT_EQ(Run({}).exit_code, 0);
  std::filesystem::remove(Bookmarks());
  ASSERT_TRUE(SetImmutable(home_.sync_root(), true));
  r = Run({});
  SetImmutable(home_.sync_root(), false);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[WARN] Register HRESULT="), std::string::npos);
  EXPECT_EQ(testing::TempHome::Read(Bookmarks()), BookmarkLine() + "\n");
}

}  // namespace
}  // namespace zem

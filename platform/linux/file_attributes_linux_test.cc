#include "platform/file_attributes.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace zem::platform {
namespace {

class FileAttributesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zem-attr-" + std::to_string(getpid()) + "-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  uint32_t Attributes(const std::filesystem::path& p) {
    uint32_t a = 0;
    EXPECT_TRUE(ReadFileAttributes(p, &a).ok()) << p;
    return a;
  }
  std::filesystem::path dir_;
};

TEST_F(FileAttributesTest, BitsComeFromModeXattrsAndKind) {
  const auto f = dir_ / "f.txt";
  { std::ofstream(f) << "x"; }
  EXPECT_EQ(Attributes(f), kFileAttributeNormal);
  EXPECT_EQ(Attributes(dir_), kFileAttributeDirectory);
  std::filesystem::create_symlink("f.txt", dir_ / "link");
  EXPECT_EQ(Attributes(dir_ / "link"), kFileAttributeReparsePoint);
  ASSERT_EQ(setxattr(f.c_str(), "user.zem.identity", "F:1", 3, 0), 0);
  EXPECT_EQ(Attributes(f), kFileAttributeReparsePoint);
  uint32_t a = 0;
  EXPECT_EQ(ReadFileAttributes(dir_ / "missing", &a).os_error(), static_cast<uint32_t>(ENOENT));
}

TEST_F(FileAttributesTest, ReadOnlyOfPlainFilesIsTheModeOfPlaceholdersTheXattr) {
  const auto plain = dir_ / "plain.txt";
  { std::ofstream(plain) << "x"; }
  ASSERT_TRUE(WriteFileAttributes(plain, kFileAttributeReadonly | kFileAttributeHidden).ok());
  struct stat st;
  ASSERT_EQ(stat(plain.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(Attributes(plain), kFileAttributeReadonly | kFileAttributeHidden);
  ASSERT_TRUE(WriteFileAttributes(plain, kFileAttributeNormal).ok());
  ASSERT_EQ(stat(plain.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
  EXPECT_EQ(Attributes(plain), kFileAttributeNormal);

  const auto ph = dir_ / "ph.txt";
  { std::ofstream(ph) << "x"; }
  ASSERT_EQ(setxattr(ph.c_str(), "user.zem.identity", "S:1", 3, 0), 0);
  ASSERT_TRUE(WriteFileAttributes(ph, kFileAttributeReadonly | kFileAttributeSystem |
                                        kFileAttributeTemporary).ok());
  ASSERT_EQ(stat(ph.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);  // the mode stays; the bit is recorded
  EXPECT_EQ(Attributes(ph), kFileAttributeReadonly | kFileAttributeSystem |
                                kFileAttributeTemporary | kFileAttributeReparsePoint);
}

TEST_F(FileAttributesTest, TimesRoundTripAndMovesReplace) {
  const auto f = dir_ / "报告.txt";
  { std::ofstream(f) << "new"; }
  const int64_t t = 133000000000000123LL;  // 100 ns resolution kept
  ASSERT_TRUE(WriteLastWriteTime(f, t).ok());
  int64_t back = 0;
  ASSERT_TRUE(ReadLastWriteTime(f, &back).ok());
  EXPECT_EQ(back, t);
  EXPECT_EQ(UnixNanosFromFileTime(FileTimeFromUnixNanos(1700000000123456700LL)),
            1700000000123456700LL);
  EXPECT_EQ(FileTimeFromUnixNanos(0), kFileTimeUnixEpoch);
  const int64_t now = CurrentFileTime();
  EXPECT_GT(now, FileTimeFromUnixNanos(1700000000LL * 1000000000));

  const auto g = dir_ / "g.txt";
  { std::ofstream(g) << "old"; }
  ASSERT_TRUE(MoveReplacing(f, g).ok());
  EXPECT_FALSE(std::filesystem::exists(f));
  std::ifstream in(g);
  std::string s;
  in >> s;
  EXPECT_EQ(s, "new");
  EXPECT_EQ(MoveReplacing(dir_ / "none", g).os_error(), static_cast<uint32_t>(ENOENT));
}

}  // namespace
}  // namespace zem::platform

// The private-file seam on Linux: modes whatever the umask, and the system's
// own error when a write cannot be completed.
#include "platform/private_files.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/known_folders.h"

namespace zem::platform {
namespace {
namespace fs = std::filesystem;

mode_t ModeOf(const fs::path& p) {
  struct stat st{};
  if (::stat(p.c_str(), &st) != 0) return 07777;
  return st.st_mode & 07777;
}

TEST(PrivateFiles, ModesHoldWhateverTheUmaskAndErrorsPassThrough) {
  const fs::path dir = TempFolder() / ("zem-private-" + std::to_string(std::random_device{}()));
  const mode_t old = ::umask(0);
  EXPECT_TRUE(EnsurePrivateDirectory(dir / "a" / "b").ok());
  EXPECT_EQ(ModeOf(dir), 0700u);
  EXPECT_EQ(ModeOf(dir / "a" / "b"), 0700u);

  // A file that existed with a loose mode becomes private when rewritten.
  { std::ofstream(dir / "f") << "old"; }
  EXPECT_EQ(ModeOf(dir / "f"), 0666u);
  EXPECT_TRUE(WritePrivateFile(dir / "f", "new").ok());
  EXPECT_EQ(ModeOf(dir / "f"), 0600u);
  std::ifstream in(dir / "f");
  std::string back((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(back, "new");
  ::umask(old);

  // A full disk is reported as such (the caller prints its reason).
  bool opened = false;
  EXPECT_EQ(WritePrivateFile("/dev/full", "x", &opened).os_error(), static_cast<uint32_t>(ENOSPC));
  EXPECT_TRUE(opened);
  EXPECT_EQ(WritePrivateFile(dir / "missing" / "f", "x", &opened).os_error(), static_cast<uint32_t>(ENOENT));
  EXPECT_FALSE(opened);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace zem::platform

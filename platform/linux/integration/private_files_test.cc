// Everything the programs write into the app-data folders is private to the
// user whatever the umask: with umask 000 the folders would otherwise be
// 0777 and credentials.bin 0666, and another local user could rewrite
// config.json to send the token elsewhere.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/agent_log.h"
#include "common/atomic_file.h"
#include "common/config.h"
#include "common/credentials.h"
#include "common/output.h"
#include "platform/environment.h"
#include "platform/private_files.h"
#include "tests/support/temp_home.h"
#include "tests/support/scoped_env.h"

namespace zem {
namespace {
namespace fs = std::filesystem;

mode_t ModeOf(const fs::path& p) {
  struct stat st{};
  if (::stat(p.c_str(), &st) != 0) return 07777;
  return st.st_mode & 07777;
}

class PrivateFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, value] : home_.Options().env) {
      env_.push_back(std::make_unique<platform::ScopedEnv>(name, value));
    }
    old_umask_ = ::umask(0);
  }
  void TearDown() override { ::umask(old_umask_); }

  testing::TempHome home_;
  std::vector<std::unique_ptr<platform::ScopedEnv>> env_;
  mode_t old_umask_ = 022;
};

TEST_F(PrivateFilesTest, WithUmaskZeroEverythingWrittenIsPrivate) {
  fs::create_directories(home_.config_home());
  fs::permissions(home_.config_home(), fs::perms::all);
  {
    ScopedOutputCapture capture;
    ASSERT_TRUE(SaveToken("0123456789abcdef-private"));
  }
  EXPECT_EQ(ModeOf(AppDataDir()), 0700u);
  EXPECT_EQ(ModeOf(CredentialsFilePath()), 0600u);
  EXPECT_EQ(ModeOf(home_.data_home() / "ZemCloudDisk"), 0700u);
  EXPECT_EQ(ModeOf(home_.data_home() / "ZemCloudDisk" / "secret.key"), 0600u);
  // The folders above ours are not ours to change.
  EXPECT_EQ(ModeOf(home_.config_home()), 0777u);

  ASSERT_TRUE(WriteFileAtomically(StateFilePath("known_files.txt"), "a\n"));
  EXPECT_EQ(ModeOf(StateFilePath("known_files.txt")), 0600u);
  ASSERT_TRUE(WriteFileAtomically(home_.root() / "new" / "deeper" / "q.txt", "q"));
  EXPECT_EQ(ModeOf(home_.root() / "new"), 0700u);
  EXPECT_EQ(ModeOf(home_.root() / "new" / "deeper" / "q.txt"), 0600u);

  // The log, as the agent opens it at start-up (in a child, whose standard
  // streams may be redirected).
  const pid_t pid = ::fork();
  if (pid == 0) {
    RotateLog();
    RedirectOutputToLog();
    Out("[OK] private log line\n");
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(ModeOf(LogsDir()), 0700u);
  EXPECT_EQ(ModeOf(AgentLogPath()), 0600u);
  EXPECT_EQ(testing::TempHome::Read(AgentLogPath()), "[OK] private log line\n");
}

TEST_F(PrivateFilesTest, FoldersAndFilesLeftOpenByAnOlderRunAreClosed) {
  fs::create_directories(AppDataDir() / "logs");
  fs::permissions(AppDataDir(), fs::perms::all);
  fs::permissions(AppDataDir() / "logs", fs::perms::all);
  std::ofstream(StateFilePath("dirty_cache.txt")) << "x";
  fs::permissions(StateFilePath("dirty_cache.txt"), fs::perms::all);
  ScopedOutputCapture capture;
  ASSERT_TRUE(SaveToken("0123456789abcdef-private"));
  EXPECT_EQ(ModeOf(AppDataDir()), 0700u);
  EXPECT_TRUE(platform::EnsurePrivateDirectory(AppDataDir() / "logs").ok());
  EXPECT_EQ(ModeOf(AppDataDir() / "logs"), 0700u);
  EXPECT_TRUE(platform::MakePrivate(StateFilePath("dirty_cache.txt")).ok());
  EXPECT_EQ(ModeOf(StateFilePath("dirty_cache.txt")), 0700u);  // the owner's bits are kept
  EXPECT_FALSE(platform::EnsurePrivateDirectory(StateFilePath("dirty_cache.txt")).ok());  // a file
}

// A damaged key file: the save fails saying which file is wrong and what to
// do, and a later load says why the stored token is not used.
TEST_F(PrivateFilesTest, ADamagedKeyFileIsNamedWithWhatToDo) {
  ::umask(old_umask_);
  {
    ScopedOutputCapture capture;
    ASSERT_TRUE(SaveToken("0123456789abcdef-before"));
  }
  const fs::path key = home_.data_home() / "ZemCloudDisk" / "secret.key";
  fs::resize_file(key, 31);
  ScopedOutputCapture capture;
  EXPECT_FALSE(SaveToken("0123456789abcdef-after"));
  EXPECT_EQ(capture.err(), "[ERR] CryptProtectData failed: 74\n  the key file " + key.string() +
                               " is damaged (it must hold exactly 32 bytes); delete it and run "
                               "keygate to save the token again\n");
  EXPECT_EQ(LoadToken("fallback-token"), "fallback-token");
  EXPECT_NE(capture.err().find("[WARN] the token stored in " + CredentialsFilePath().string() +
                               " could not be used (the key file " + key.string() +
                               " is damaged"),
            std::string::npos)
      << capture.err();
}

}  // namespace
}  // namespace zem

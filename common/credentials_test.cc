// The credential store in the roaming app-data folder: a throw-away one on
// Linux (with its own key in a throw-away data folder), the test prefix's on
// Wine (DPAPI).
#include "common/credentials.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/config.h"
#include "common/output.h"
#include "common/test_file_aside.h"
#include "platform/environment.h"
#include "platform/text.h"
#include "tests/support/temp_home.h"
#include "tests/support/scoped_env.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

constexpr char kFallback[] = "fallback-token-0123456789abcdef";

class CredentialsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, value] : home_.Options().env) {
      env_.push_back(std::make_unique<platform::ScopedEnv>(name, value));
    }
    path_ = CredentialsFilePath();
    ASSERT_FALSE(path_.empty());
    aside_ = std::make_unique<testing::FileAside>(path_);
    ASSERT_TRUE(aside_->ok());
  }

  static std::string Read(const fs::path& p) { return testing::TempHome::Read(p); }
  void Write(const std::string& bytes) {
    fs::create_directories(path_.parent_path());
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  // Names in the credential folder other than credentials.bin and config.json.
  std::vector<std::string> Strays() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(path_.parent_path())) {
      const auto name = platform::PathToUtf8(e.path().filename());
      if (name != "credentials.bin" && name != "config.json" && name != "logs") out.push_back(name);
    }
    return out;
  }

  testing::TempHome home_;
  std::vector<std::unique_ptr<platform::ScopedEnv>> env_;
  fs::path path_;
  std::unique_ptr<testing::FileAside> aside_;
};

TEST_F(CredentialsTest, SavedTokenReadsBackByteIdentical) {
  const std::string tokens[] = {
      "0123456789abcdef",
      std::string("tab\tnul\0high\xff\xfe-bytes", 22),
      std::string(4096, 'k'),
  };
  for (const auto& token : tokens) {
    SCOPED_TRACE(token.size());
    ScopedOutputCapture capture;
    ASSERT_TRUE(SaveToken(token));
    EXPECT_EQ(capture.out(),
              "[OK] token saved (encrypted, " + platform::PathToUtf8(path_) + ")\n");
    EXPECT_EQ(capture.err(), "");
    EXPECT_EQ(LoadToken(kFallback), token);
    std::string back;
    ASSERT_TRUE(ReadStoredToken(back));
    EXPECT_EQ(back, token);
    EXPECT_EQ(Read(path_).find(token), std::string::npos) << "stored in clear";
    EXPECT_TRUE(Strays().empty()) << Strays().front();
  }
}

TEST_F(CredentialsTest, MissingOrEmptyFileIsSilentADamagedOneIsReportedOnce) {
  ScopedOutputCapture capture;
  std::string back = "untouched";
  EXPECT_EQ(LoadToken(kFallback), kFallback);
  EXPECT_FALSE(ReadStoredToken(back));

  Write("");
  EXPECT_EQ(LoadToken(kFallback), kFallback);
  EXPECT_FALSE(ReadStoredToken(back));
  EXPECT_EQ(capture.all(), "");

  // A file that is there but cannot be used: still the fallback, but one
  // line says so, why, and what to do. Reading it back for keygate's check
  // stays silent.
  Write(std::string(300, '\x5a'));
  EXPECT_EQ(LoadToken(kFallback), kFallback);
  EXPECT_FALSE(ReadStoredToken(back));
  EXPECT_EQ(back, "untouched");
  const std::string err = capture.err();
  const std::string head = "[WARN] the token stored in " + platform::PathToUtf8(path_) +
                           " could not be used (";
  const std::string tail = "); using the built-in token. Run keygate to save a new one.\n";
  EXPECT_EQ(err.rfind(head, 0), 0u) << err;
  ASSERT_GE(err.size(), head.size() + tail.size());
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
  EXPECT_EQ(capture.out(), "");
}

TEST_F(CredentialsTest, DamagedBlobOfARealSaveIsRejected) {
  ASSERT_TRUE(SaveToken("0123456789abcdef-real"));
  // The last bytes are the blob's authentication (the tag; DPAPI's signature).
  std::string blob = Read(path_);
  blob.back() = static_cast<char>(blob.back() ^ 1);
  Write(blob);
  EXPECT_EQ(LoadToken(kFallback), kFallback);
  std::string back;
  EXPECT_FALSE(ReadStoredToken(back));
}

TEST_F(CredentialsTest, EmptyStoredTokenGivesTheFallback) {
  ASSERT_TRUE(SaveToken(""));
  EXPECT_EQ(LoadToken(kFallback), kFallback);
  std::string back = "x";
  EXPECT_TRUE(ReadStoredToken(back));  // it is there, and it is empty
  EXPECT_EQ(back, "");
}

TEST_F(CredentialsTest, SaveReplacesTheOldTokenWhole) {
  ASSERT_TRUE(SaveToken(std::string(5000, 'a')));
  ASSERT_TRUE(SaveToken("short-token-0123456"));
  EXPECT_EQ(LoadToken(kFallback), "short-token-0123456");
  EXPECT_TRUE(Strays().empty());
}

TEST_F(CredentialsTest, FailedReplaceKeepsWhatWasThereAndLeavesNoTemporaryFile) {
  // A directory in the file's place cannot be replaced by a file.
  fs::create_directories(path_ / "occupied");
  ScopedOutputCapture capture;
  EXPECT_FALSE(SaveToken("0123456789abcdef"));
  EXPECT_NE(capture.err().find("[ERR] failed to replace creds file: " + platform::PathToUtf8(path_)),
            std::string::npos)
      << capture.err();
  EXPECT_EQ(capture.out(), "");
  EXPECT_TRUE(fs::is_directory(path_ / "occupied"));
  EXPECT_TRUE(Strays().empty());
}

TEST_F(CredentialsTest, UnwritableFolderReportsTheOpenFailureAndKeepsTheOldFile) {
  ASSERT_TRUE(SaveToken("old-token-0123456789"));
  const fs::path dir = path_.parent_path();
  fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
  const bool writable = static_cast<bool>(std::ofstream(dir / "probe"));
  if (writable) {
    fs::remove(dir / "probe");
    fs::permissions(dir, fs::perms::owner_all);
    GTEST_SKIP() << "folder permissions are not enforced here (administrator)";
  }
  ScopedOutputCapture capture;
  EXPECT_FALSE(SaveToken("new-token-0123456789"));
  fs::permissions(dir, fs::perms::owner_all);
  EXPECT_EQ(capture.err(), "[ERR] failed to open creds file: " + platform::PathToUtf8(path_) + "\n");
  EXPECT_EQ(LoadToken(kFallback), "old-token-0123456789");
}

TEST_F(CredentialsTest, RemoveTwiceThenAFileThatCannotBeDeleted) {
  ASSERT_TRUE(SaveToken("0123456789abcdef"));
  {
    ScopedOutputCapture capture;
    EXPECT_TRUE(RemoveCredentials());
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_FALSE(RemoveCredentials());
    EXPECT_EQ(RemoveStoredCredentials(), RemoveOutcome::kNoFile);
    EXPECT_EQ(capture.all(), "");
  }
  // Something that exists but cannot be deleted: a non-empty directory.
  fs::create_directories(path_ / "occupied");
  ScopedOutputCapture capture;
  EXPECT_EQ(RemoveStoredCredentials(), RemoveOutcome::kFailed);
  EXPECT_FALSE(RemoveCredentials());
  const std::string err = capture.err();
  EXPECT_EQ(err.rfind("[ERR] failed to remove creds file: " + platform::PathToUtf8(path_) + ": ", 0),
            0u) << err;
  EXPECT_NE(err.find("(err="), std::string::npos);
}

TEST(BuiltinFallbackToken, Is32LowerCaseHexCharacters) {
  const std::string t = kBuiltinFallbackToken;
  EXPECT_EQ(t.size(), 32u);
  EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos);
}

}  // namespace
}  // namespace zem

// The Linux key file: where it lives, how it is protected, and that a blob
// is bound to it.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "platform/environment.h"
#include "platform/known_folders.h"
#include "platform/secret.h"
#include "tests/support/scoped_env.h"

namespace zem::platform {
namespace {

class SecretKeyFileTest : public ::testing::Test {
 protected:
  SecretKeyFileTest()
      : dir_(TempFolder() / ("zem-secret-key-" + std::to_string(std::random_device{}()))),
        data_home_("XDG_DATA_HOME", (dir_ / "a").string()) {}
  ~SecretKeyFileTest() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path KeyIn(const char* home) const {
    return dir_ / home / "ZemCloudDisk" / "secret.key";
  }

  std::filesystem::path dir_;
  ScopedEnv data_home_;
};

TEST_F(SecretKeyFileTest, FirstProtectCreatesPrivateKeyAndUnprotectNeverDoes) {
  std::string plain;
  EXPECT_FALSE(UnprotectForCurrentUser(std::string(64, 'x'), plain).ok());
  EXPECT_FALSE(std::filesystem::exists(KeyIn("a")));

  std::string blob;
  ASSERT_TRUE(ProtectForCurrentUser("token-token-token", u"d", blob).ok());
  struct stat st{};
  ASSERT_EQ(::stat(KeyIn("a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 32);
  EXPECT_EQ(blob.substr(0, 4), "ZSK1");
  EXPECT_EQ(blob.size(), 4 + 12 + 17 + 16u);
  // No temporary files are left beside the key.
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(KeyIn("a").parent_path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
}

TEST_F(SecretKeyFileTest, BlobUnderAnotherKeyFailsAndMissingKeyFails) {
  std::string blob;
  ASSERT_TRUE(ProtectForCurrentUser("token-token-token", u"d", blob).ok());

  std::string plain;
  {
    ScopedEnv other("XDG_DATA_HOME", (dir_ / "b").string());
    std::string own;
    ASSERT_TRUE(ProtectForCurrentUser("x", u"d", own).ok());  // b gets its own key
    const auto r = UnprotectForCurrentUser(blob, plain);
    EXPECT_FALSE(r.ok());
    EXPECT_NE(r.os_error(), 0u);
  }
  ASSERT_TRUE(UnprotectForCurrentUser(blob, plain).ok());
  EXPECT_EQ(plain, "token-token-token");

  std::filesystem::remove(KeyIn("a"));
  const auto r = UnprotectForCurrentUser(blob, plain);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.os_error(), static_cast<uint32_t>(ENOENT));
}

TEST_F(SecretKeyFileTest, KeyReadableByOthersOrOfWrongSizeIsRefused) {
  std::string blob;
  ASSERT_TRUE(ProtectForCurrentUser("token-token-token", u"d", blob).ok());
  std::string plain;

  std::filesystem::permissions(KeyIn("a"), std::filesystem::perms::group_read,
                               std::filesystem::perm_options::add);
  auto r = UnprotectForCurrentUser(blob, plain);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.os_error(), static_cast<uint32_t>(EACCES));
  std::string again;
  EXPECT_FALSE(ProtectForCurrentUser("x", u"d", again).ok());  // never uses such a key either

  std::filesystem::permissions(KeyIn("a"), std::filesystem::perms::group_read,
                               std::filesystem::perm_options::remove);
  std::filesystem::resize_file(KeyIn("a"), 31);
  EXPECT_FALSE(UnprotectForCurrentUser(blob, plain).ok());

  // What the programs print for a damaged key: which file, what is wrong
  // and what to do, not just the errno.
  r = ProtectForCurrentUser("x", u"d", again);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.os_error(), static_cast<uint32_t>(EBADMSG));
  EXPECT_EQ(r.explanation(), "the key file " + KeyIn("a").string() +
                          " is damaged (it must hold exactly 32 bytes); delete it and run keygate "
                          "to save the token again");
}

TEST_F(SecretKeyFileTest, RacingFirstProtectsAgreeOnOneKey) {
  // Several threads protect at once with no key on disk; every blob must be
  // readable with the one key that ends up there.
  constexpr int kThreads = 8;
  std::vector<std::string> blobs(kThreads);
  std::vector<bool> ok(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      std::string b;
      ok[i] = ProtectForCurrentUser("token-" + std::to_string(i), u"d", b).ok();
      blobs[i] = std::move(b);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(ok[i]);
    std::string plain;
    ASSERT_TRUE(UnprotectForCurrentUser(blobs[i], plain).ok());
    EXPECT_EQ(plain, "token-" + std::to_string(i));
  }
}

}  // namespace
}  // namespace zem::platform

// Runs against DPAPI on Windows (under Wine) and the key-file scheme on
// Linux, where the key lives in a throw-away data folder.
#include "platform/secret.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/environment.h"
#include "platform/known_folders.h"
#include "tests/support/scoped_env.h"

namespace zem::platform {
namespace {

class SecretTest : public ::testing::Test {
 protected:
  SecretTest()
      : dir_(TempFolder() / ("zem-secret-" + std::to_string(std::random_device{}()))),
        data_home_("XDG_DATA_HOME", (dir_ / "data").string()) {}
  ~SecretTest() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::filesystem::path dir_;
  ScopedEnv data_home_;
};

TEST_F(SecretTest, RoundTripsArbitraryBytes) {
  const std::string samples[] = {
      std::string(),
      "abcdefghijklmnop",
      std::string("\0\x01\xff\r\n token \0", 12),
      std::string(100000, 'x'),
  };
  for (const auto& plain : samples) {
    SCOPED_TRACE(plain.size());
    std::string blob;
    ASSERT_TRUE(ProtectForCurrentUser(plain, u"ZemCloudDiskToken", blob).ok());
    EXPECT_FALSE(blob.empty());
    std::string back = "stale";
    const auto r = UnprotectForCurrentUser(blob, back);
    ASSERT_TRUE(r.ok()) << r.os_error();
    EXPECT_EQ(back, plain);
  }
}

TEST_F(SecretTest, BlobHidesThePlaintextAndDiffersEachTime) {
  const std::string plain = "a-very-recognisable-token-0123456789";
  std::string a, b;
  ASSERT_TRUE(ProtectForCurrentUser(plain, u"d", a).ok());
  ASSERT_TRUE(ProtectForCurrentUser(plain, u"d", b).ok());
  EXPECT_EQ(a.find(plain), std::string::npos);
  EXPECT_NE(a, b);  // fresh randomness per blob
}

TEST_F(SecretTest, DamagedOrForeignBlobsAreRefused) {
  const std::string plain = "0123456789abcdef0123";
  std::string blob;
  ASSERT_TRUE(ProtectForCurrentUser(plain, u"d", blob).ok());

  std::string out = "stale";
  for (size_t at : {size_t{0}, blob.size() / 2, blob.size() - 1}) {
    SCOPED_TRACE(at);
    std::string damaged = blob;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
    const auto r = UnprotectForCurrentUser(damaged, out);
    EXPECT_FALSE(r.ok());
    EXPECT_NE(r.os_error(), 0u);
    EXPECT_TRUE(out.empty());
  }
  EXPECT_FALSE(UnprotectForCurrentUser(blob.substr(0, blob.size() - 1), out).ok());
  EXPECT_FALSE(UnprotectForCurrentUser("", out).ok());
  EXPECT_FALSE(UnprotectForCurrentUser(std::string(200, 'g'), out).ok());
}

}  // namespace
}  // namespace zem::platform

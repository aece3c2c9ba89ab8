// The configuration and locations under Wine: the roaming app-data folder of
// the Wine user (%APPDATA%) and the profile folder (%USERPROFILE%).
#include <windows.h>

#include <gtest/gtest.h>

#include "common/config.h"
#include "common/output.h"
#include "common/test_file_aside.h"
#include "tests/windows/foundation_support.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

class ConfigUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    app_data_ = wintest::EnvPath(L"APPDATA");
    ASSERT_FALSE(app_data_.empty());
    config_ = app_data_ / L"ZemCloudDisk" / L"config.json";
    aside_ = std::make_unique<testing::FileAside>(config_);
    ASSERT_TRUE(aside_->ok());
  }
  fs::path app_data_, config_;
  std::unique_ptr<testing::FileAside> aside_;
};

TEST_F(ConfigUnderWine, LocationsAreTheUsersKnownFolders) {
  EXPECT_TRUE(fs::equivalent(AppDataDir().parent_path(), app_data_));
  EXPECT_EQ(AppDataDir().filename(), L"ZemCloudDisk");
  EXPECT_EQ(ConfigFilePath(), AppDataDir() / L"config.json");
  EXPECT_EQ(CredentialsFilePath(), AppDataDir() / L"credentials.bin");
  EXPECT_EQ(AgentLogPath(), AppDataDir() / L"logs" / L"provider.log");
  const fs::path profile = wintest::EnvPath(L"USERPROFILE");
  ASSERT_FALSE(profile.empty());
  EXPECT_TRUE(fs::equivalent(SyncRootDir().parent_path(), profile));
  EXPECT_EQ(SyncRootDir().filename().wstring(), L"ZEM云盘");
}

TEST_F(ConfigUnderWine, ReadsConfigJsonWithCrLfLines) {
  wintest::WriteBytes(config_,
                      "{\r\n  \"host\" :\r\n  \"files.example\",\r\n  \"port\": 9443,\r\n"
                      "  \"use_https\": true,\r\n  \"loginUrl\": \"https://files.example/crm/#/login\"\r\n}\r\n");
  const BackendConfig c = LoadConfig();
  EXPECT_EQ(c.host, u"files.example");
  EXPECT_EQ(c.port, 9443);
  EXPECT_TRUE(c.use_https);
  EXPECT_EQ(LoadLoginUrl(), "https://files.example/crm/#/login");
}

TEST_F(ConfigUnderWine, MegabyteHostAndBadPortDoNotHurt) {
  wintest::WriteBytes(config_, "{\"host\": \"" + std::string(1 << 20, 'w') +
                                   "\", \"port\": 70000, \"use_https\": True}");
  ScopedOutputCapture capture;
  const BackendConfig c = LoadConfig();
  EXPECT_EQ(c.host.size(), 1u << 20);
  EXPECT_EQ(c.port, 8081);
  EXPECT_FALSE(c.use_https);
  EXPECT_NE(capture.err().find("[CFG-ERR]"), std::string::npos);
}

}  // namespace
}  // namespace zem

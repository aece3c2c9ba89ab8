// corvane.exe under Wine: the service switch from a console, start-up with and
// without the sync-root folder (Wine has no Cloud Files API, so connecting
// fails), and the log in the Wine user's roaming app-data folder with CR LF
// line ends.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/agent_log.h"
#include "common/config.h"
#include "platform/process.h"
#include "platform/text.h"

namespace zem {
namespace {
namespace fs = std::filesystem;

fs::path Corvane() { return fs::path(ZEM_BIN_DIR) / "corvane.exe"; }

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class AgentUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ec;
    fs::remove_all(LogsDir(), ec);
    fs::remove_all(SyncRootDir(), ec);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(SyncRootDir(), ec);
  }
};

TEST_F(AgentUnderWine, ServiceSwitchFromAConsoleExitsOne) {
  const auto r = platform::RunProcess(Corvane(), {"--service"});
  ASSERT_TRUE(r.started());
  EXPECT_EQ(r.exit_code, 1);
  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
  EXPECT_NE(r.err.find("[ERR] StartServiceCtrlDispatcher failed: 1063 "), std::string::npos)
      << r.err;
}

TEST_F(AgentUnderWine, MissingSyncRootExitsTwoWithCrLfLog) {
  const auto r = platform::RunProcess(Corvane(), {});
  EXPECT_EQ(r.exit_code, 2);
  const std::string log = Read(AgentLogPath());
  EXPECT_NE(log.find("[CFG] backend http://localhost:8081\r\n"), std::string::npos) << log;
  const std::string root = platform::PathToUtf8(SyncRootDir());
  EXPECT_NE(log.find("[ERR] sync root missing: " + root + "\r\n"), std::string::npos) << log;
}

TEST_F(AgentUnderWine, WithoutCloudFilesApiConnectingFailsWithExitThree) {
  fs::create_directories(SyncRootDir());
  const auto r = platform::RunProcess(Corvane(), {});
  EXPECT_EQ(r.exit_code, 3);
  const std::string log = Read(AgentLogPath());
  EXPECT_NE(log.find("[ERR] CfConnectSyncRoot failed: 0x"), std::string::npos) << log;
  EXPECT_EQ(log.find("[OK] sync provider running"), std::string::npos);
}

TEST_F(AgentUnderWine, OversizedLogIsRotated) {
  fs::create_directories(LogsDir());
  {
    std::ofstream(AgentLogPath(), std::ios::binary) << "old";
  }
  fs::resize_file(AgentLogPath(), kLogRotateBytes);
  platform::RunProcess(Corvane(), {});
  EXPECT_EQ(fs::file_size(fs::path(AgentLogPath()).concat(".1")), kLogRotateBytes);
  EXPECT_EQ(Read(AgentLogPath()).rfind("[CFG] backend", 0), 0u);
}

}  // namespace
}  // namespace zem

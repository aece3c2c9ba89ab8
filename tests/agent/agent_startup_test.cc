// corvane's start-up as a user sees it: what lands in the log, and the exit
// codes when the sync root is missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/agent_log.h"
#include "platform/process.h"
#include "tests/support/temp_home.h"

namespace zem {
namespace {
namespace fs = std::filesystem;
using testing::ProgramPath;
using testing::TempHome;

platform::ProcessResult RunAgent(const TempHome& home, std::vector<std::string> args = {}) {
  return platform::RunProcess(ProgramPath("corvane"), args, home.Options());
}

TEST(AgentStartup, MissingSyncRootExitsTwoAndSaysWhere) {
  TempHome home;
  const auto r = RunAgent(home);
  ASSERT_TRUE(r.started());
  EXPECT_EQ(r.exit_code, 2);
  const std::string log = TempHome::Read(home.agent_log());
  EXPECT_NE(log.find("[CFG] backend http://localhost:8081\n"), std::string::npos) << log;
  // The Chinese folder name reaches the log as UTF-8.
  EXPECT_NE(log.find("[ERR] sync root missing: " + home.sync_root().string() + "\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("[OK]"), std::string::npos);
  // Everything went to the log, nothing to the console.
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(AgentStartup, FileInPlaceOfTheFolderIsRefused) {
  TempHome home;
  std::ofstream(home.sync_root()) << "not a folder";
  const auto r = RunAgent(home);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(TempHome::Read(home.agent_log()).find("(exists but is not a folder)"),
            std::string::npos);
}

TEST(AgentStartup, BackendLineFollowsTheConfiguration) {
  struct Case {
    const char* json;
    const char* line;
  } cases[] = {
      {"{\"port\": 9000}", "[CFG] backend http://localhost:9000\n"},
      {"{\"host\":\"disk.example.com\",\"port\":443,\"use_https\":true}",
       "[CFG] backend https://disk.example.com:443\n"},
      {"{\"port\": \"9000\", \"use_https\": True}", "[CFG] backend http://localhost:8081\n"},
      {"", "[CFG] backend http://localhost:8081\n"},
  };
  for (const auto& c : cases) {
    TempHome home;
    home.WriteConfig(c.json);
    RunAgent(home);
    EXPECT_NE(TempHome::Read(home.agent_log()).find(c.line), std::string::npos) << c.json;
  }
}

TEST(AgentStartup, SecondStartAppendsToTheLog) {
  TempHome home;
  RunAgent(home);
  RunAgent(home);
  const std::string log = TempHome::Read(home.agent_log());
  const size_t first = log.find("[CFG] backend");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(log.find("[CFG] backend", first + 1), std::string::npos) << log;
}

TEST(AgentStartup, OversizedLogIsRotatedBeforeTheNewStart) {
  TempHome home;
  fs::create_directories(home.agent_log().parent_path());
  std::ofstream(home.agent_log()) << "old";
  fs::resize_file(home.agent_log(), kLogRotateBytes);
  RunAgent(home);
  const fs::path first_copy = fs::path(home.agent_log()).concat(".1");
  EXPECT_EQ(fs::file_size(first_copy), kLogRotateBytes);
  const std::string log = TempHome::Read(home.agent_log());
  EXPECT_EQ(log.rfind("[CFG] backend", 0), 0u) << "the new log starts with this start's lines";
}

TEST(AgentStartup, ServiceSwitchFromAConsoleFailsWithExitOne) {
  TempHome home;
  // Second place, as the service manager may pass other arguments first.
  const auto r = RunAgent(home, {"--verbose", "--service"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("[ERR] StartServiceCtrlDispatcher failed: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(--service 仅当 sc.exe 启动时有效，本地调试请直接运行)\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(home.agent_log())) << "the log is not opened before the dispatcher";
}

TEST(AgentStartup, CapitalisedServiceSwitchRunsNormally) {
  TempHome home;
  const auto r = RunAgent(home, {"--SERVICE"});
  EXPECT_EQ(r.exit_code, 2);  // ran RunProvider, which found no sync root
  EXPECT_NE(r.err.find("[WARN] unknown argument ignored: --SERVICE"), std::string::npos) << r.err;
}

TEST(AgentStartup, HelpDescribesTheProgram) {
  TempHome home;
  const auto r = RunAgent(home, {"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("--service"), std::string::npos);
  EXPECT_FALSE(fs::exists(home.agent_log()));
}

}  // namespace
}  // namespace zem

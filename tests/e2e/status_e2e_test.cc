// corvane --status against a running agent and after it has stopped: the
// status file in the runtime folder, the text and JSON forms, exit codes.
#include <regex>

#include "common/atomic_file.h"
#include "tests/e2e/e2e_fixture.h"

namespace zem::testing {
namespace {

class StatusEndToEnd : public AgentFixture {
 protected:
  platform::ProcessResult Status(std::vector<std::string> args = {}) {
    args.insert(args.begin(), "--status");
    return platform::RunProcess(ProgramPath("corvane"), args, home_.Options());
  }
  fs::path StatusFile() const { return home_.runtime_dir() / "ZemCloudDisk" / "agent-status.txt"; }
};

TEST_F(StatusEndToEnd, ReportsTheRunningAgentAndSaysSoWhenItIsGone) {
  // Nothing has run yet: no file, exit 1 with one clear line.
  auto r = Status();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "[STATUS] corvane is not running (no status file " + StatusFile().string() + ")\n");

  StartAgent();
  // The status is rewritten after each cycle (at most once a second).
  ASSERT_TRUE(Eventually([&] { return ReadAll(StatusFile()).find("polls=") != std::string::npos &&
                                      ReadAll(StatusFile()).find("polls=0\n") == std::string::npos; }))
      << ReadAll(StatusFile());
  r = Status();
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const std::string backend = "http://127.0.0.1:" + std::to_string(zemd_.port());
  EXPECT_NE(r.out.find("[STATUS] corvane 1.0.4 running (pid " + std::to_string(agent_.pid()) + ")"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("     Folder : " + Root().string() + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("     Backend: " + backend + "\n"), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(
      R"(     Last poll: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d, \d+ ms, \d+ folders listed, \d+ files hashed, \d+ uploads \(\d+ cycles\))")))
      << r.out;
  EXPECT_NE(r.out.find("     Queue  : 0 tasks\n"), std::string::npos) << r.out;

  r = Status({"--json"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("{\"running\":true,\"pid\":" + std::to_string(agent_.pid()) + ",", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("\"backend\":\"" + backend + "\""), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(
      R"("last_poll":\{"start":\d+,"duration_ms":\d+,"result":"\d+ folders listed)")))
      << r.out;

  // A clean stop removes the file.
  EXPECT_EQ(StopAgent(), 0);
  EXPECT_FALSE(fs::exists(StatusFile()));
  r = Status({"--json"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "{\"running\":false}\n");

  // A file left by an agent that was killed names a process that is gone.
  StartAgent();
  ASSERT_TRUE(fs::exists(StatusFile()));
  const long pid = agent_.pid();
  KillAgent();
  ASSERT_TRUE(fs::exists(StatusFile()));
  r = Status();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "[STATUS] corvane is not running (the agent that wrote " + StatusFile().string() +
                       " (pid " + std::to_string(pid) + ") has ended)\n");
}

}  // namespace
}  // namespace zem::testing

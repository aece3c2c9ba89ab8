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

// A large upload shows its percent rising in `corvane --status` while it
// runs, and leaves the list when it is done.
TEST_F(StatusEndToEnd, ALargeUploadShowsItsPercentRising) {
  StartAgent();
  testing::FaultRule slow;  // about 25 MiB a second: eight seconds for 200 MiB
  slow.path = "/zem/api/cloud-disk/file/upload-simple";
  slow.kind = "slow-body";
  slow.chunk_bytes = 5 << 20;
  slow.interval_ms = 200;
  slow.count = 1;
  ASSERT_TRUE(zemd_.InjectFault(slow)) << zemd_.last_admin_error();
  {
    std::ofstream out(Docs("big.bin"), std::ios::binary);
    const std::string mib(1 << 20, 'z');
    for (int i = 0; i < 200; ++i) out << mib;
  }
  // Each active transfer is a line "       <percent>% <name>".
  std::vector<int> seen;
  const std::regex line(R"( (\d+)% big\.bin\n)");
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < until &&
         Log().find("[RT-UPLOAD-OK] big.bin") == std::string::npos) {
    std::smatch m;
    const std::string out = Status().out;
    if (std::regex_search(out, m, line)) {
      const int percent = std::stoi(m[1]);
      if (seen.empty() || seen.back() != percent) seen.push_back(percent);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  ASSERT_NE(Log().find("[RT-UPLOAD-OK] big.bin"), std::string::npos) << Log();
  // Several distinct values below 100, never going back.
  int below_done = 0;
  for (size_t i = 0; i < seen.size(); ++i) {
    if (seen[i] < 100) ++below_done;
    if (i > 0) {
      EXPECT_GT(seen[i], seen[i - 1]) << "percent went back";
    }
  }
  EXPECT_GE(below_done, 3) << "percents seen: " << seen.size();
  // Done: it leaves the active list.
  EXPECT_TRUE(Eventually([&] { return Status().out.find("% big.bin\n") == std::string::npos; }))
      << Status().out;
}

}  // namespace
}  // namespace zem::testing

#include "sync/state/agent_status.h"

#include <chrono>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "common/atomic_file.h"
#include "platform/environment.h"
#include "platform/known_folders.h"
#include "platform/process.h"
#include "tests/support/scoped_env.h"

namespace zem {
namespace {

TEST(AgentStatusTest, FormatParseAndJsonAgree) {
  AgentStatus s;
  s.pid = 4242;
  s.version = "1.0.4";
  s.folder = "/home/u/ZEM云盘";
  s.backend = "http://h:8080";
  s.started = 100;
  s.poll_start = 200;
  s.poll_ms = 35;
  s.poll_result = "3 folders listed, 1 files hashed, 0 uploads";
  s.polls = 7;
  s.queue = 2;
  s.active = {{"大文件.bin", 41}};
  s.recent = {{150, false, "a.txt"}, {160, true, "b|c.txt"}};
  s.failures = {{170, "upload b|c.txt: HTTP 500 \"x\""}};

  AgentStatus back;
  ASSERT_TRUE(ParseAgentStatus(FormatAgentStatus(s), &back));
  EXPECT_EQ(FormatAgentStatus(back), FormatAgentStatus(s));
  EXPECT_EQ(back.active[0].percent, 41);
  EXPECT_EQ(back.recent[1].name, "b|c.txt");
  EXPECT_TRUE(back.recent[1].failed);
  EXPECT_EQ(back.failures[0].reason, "upload b|c.txt: HTTP 500 \"x\"");

  EXPECT_EQ(AgentStatusJson(s, true),
            "{\"running\":true,\"pid\":4242,\"version\":\"1.0.4\",\"folder\":\"/home/u/ZEM云盘\","
            "\"backend\":\"http://h:8080\",\"started\":100,\"updated\":0,\"last_poll\":{\"start\":200,"
            "\"duration_ms\":35,\"result\":\"3 folders listed, 1 files hashed, 0 uploads\"},"
            "\"polls\":7,\"queue\":2,\"active\":[{\"name\":\"大文件.bin\",\"percent\":41}],"
            "\"recent\":[{\"time\":150,\"result\":\"done\",\"name\":\"a.txt\"},{\"time\":160,"
            "\"result\":\"failed\",\"name\":\"b|c.txt\"}],\"failures\":[{\"time\":170,\"reason\":"
            "\"upload b|c.txt: HTTP 500 \\\"x\\\"\"}]}\n");
  s.polls = 0;
  EXPECT_NE(AgentStatusJson(s, false).find("\"running\":false"), std::string::npos);
  EXPECT_NE(AgentStatusJson(s, false).find("\"last_poll\":null"), std::string::npos);

  // CR LF lines are read too; text without a pid is no status file.
  ASSERT_TRUE(ParseAgentStatus("pid=9\r\nqueue=3\r\n", &back));
  EXPECT_EQ(back.queue, 3);
  EXPECT_FALSE(ParseAgentStatus("queue=3\n", &back));
  EXPECT_FALSE(ParseAgentStatus("", &back));
}

TEST(AgentStatusTest, PublishesChangesAtMostOncePerSecondAndRemovesTheFileAtStop) {
  const auto dir = platform::TempFolder() / ("zem-status-" + std::to_string(platform::CurrentProcessId()));
  platform::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.string());
  platform::ScopedEnv local("LOCALAPPDATA", dir.string());
  const auto path = AgentStatusPath();
  ReportFailure("before start");  // ignored
  std::mutex mu;
  TransferSample sample;  // what the "queue and workers" hold, guarded by mu
  StartAgentStatus("/f", "http://b:1", [&](TransferSample& out) {
    std::lock_guard lock(mu);
    out = sample;
  });
  std::string text;
  ASSERT_TRUE(ReadWholeFile(path, &text));
  AgentStatus s;
  ASSERT_TRUE(ParseAgentStatus(text, &s));
  EXPECT_EQ(s.pid, platform::CurrentProcessId());
  EXPECT_EQ(s.folder, "/f");
  EXPECT_TRUE(s.failures.empty());

  auto read = [&] {
    AgentStatus r;
    std::string t;
    EXPECT_TRUE(ReadAgentStatusFile(path, &t));
    EXPECT_TRUE(ParseAgentStatus(t, &r));
    return r;
  };
  // A burst of changes right after the first write lands together, once,
  // no sooner than a second after it.
  const auto t0 = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mu);
    sample.queue = 3;
    sample.active = {{"big.bin", 10}};
  }
  ReportFailure("line\nbreak");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard lock(mu);
    sample.active = {{"big.bin", 55}};
  }
  EXPECT_EQ(read().queue, 0) << "rewritten within a second";
  while (read().queue != 3 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
  s = read();
  EXPECT_EQ(s.queue, 3);
  ASSERT_EQ(s.active.size(), 1u);
  EXPECT_EQ(s.active[0].percent, 55);
  ASSERT_EQ(s.failures.size(), 1u);
  EXPECT_EQ(s.failures[0].reason, "line break");

  // The transfer finishes: it leaves the active list for the recent one.
  {
    std::lock_guard lock(mu);
    sample.queue = 0;
    sample.active.clear();
    sample.recent = {{77, false, "big.bin"}};
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  s = read();
  EXPECT_TRUE(s.active.empty());
  EXPECT_EQ(s.queue, 0);
  ASSERT_EQ(s.recent.size(), 1u);
  EXPECT_EQ(s.recent[0].name, "big.bin");

  StopAgentStatus();
  EXPECT_FALSE(std::filesystem::exists(path));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zem

// End to end on Linux: a seeded zemd, `register`, `keygate --token`,
// `populate`, then `corvane` serving the folder; every file read through the
// folder must be the service's bytes, and a stop request must end the agent
// cleanly within a second.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/process.h"
#include "service/testing/zemd_harness.h"
#include "tests/support/temp_home.h"

namespace zem {
namespace {
namespace fs = std::filesystem;
using testing::ProgramPath;
using testing::TempHome;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Mounted(const fs::path& dir) {
  std::ifstream mounts("/proc/mounts");
  std::string line;
  const std::string needle = " " + dir.string() + " ";
  while (std::getline(mounts, line)) {
    if (line.find(needle) != std::string::npos) return true;
  }
  return false;
}

// A sample tree on disk: nested folders, Chinese and spaced names, sizes from
// empty to a few MiB.
class Sample {
 public:
  Sample() : dir_(fs::temp_directory_path() / ("zem-sample-" + std::to_string(getpid_like()))) {
    Add("欢迎 README.txt", "欢迎使用 ZEM云盘！\n");
    Add("empty.txt", "");
    Add("项目文档/2026 规划/计划 Q1.md", "plan\n");
    Add("Photos/Summer Trip/beach 01.jpg", RandomBytes(3 << 20, 1));
    Add("Photos/tiny.bin", RandomBytes(10, 2));
    for (int i = 0; i < 24; ++i) {
      Add("many/file " + std::to_string(i) + ".bin", RandomBytes(200'000 + i * 1000, 10 + i));
    }
  }
  ~Sample() { fs::remove_all(dir_); }
  const fs::path& dir() const { return dir_; }
  const std::vector<std::pair<std::string, std::string>>& files() const { return files_; }

 private:
  static unsigned getpid_like() { return std::random_device{}(); }
  void Add(const std::string& rel, const std::string& content) {
    const fs::path p = dir_ / fs::path(std::u8string(rel.begin(), rel.end()));
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    files_.emplace_back(rel, content);
  }
  fs::path dir_;
  std::vector<std::pair<std::string, std::string>> files_;
};

class AgentEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zemd_.ok()) << zemd_.error();
    ASSERT_TRUE(zemd_.ImportTree(sample_.dir())) << zemd_.last_admin_error();
    home_.WriteConfig("{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(zemd_.port()) + "}");
    for (auto [program, args] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"register", {}}, {"keygate", {"--token", zemd_.token()}}, {"populate", {}}}) {
      const auto r = platform::RunProcess(ProgramPath(program), args, home_.Options());
      ASSERT_EQ(r.exit_code, 0) << program << "\n" << r.out << r.err;
    }
  }

  void StartAgent() {
    ASSERT_TRUE(agent_.Start(ProgramPath("corvane"), {}, home_.Options(), {}, {}).ok());
    // Up once the first poll cycle (after the move of populate's layout
    // into 我的文档) has finished.
    for (int i = 0; i < 400; ++i) {
      if (Log().find("[SYNC] cycle:") != std::string::npos) return;
      int code;
      if (agent_.Wait(0, code)) FAIL() << "corvane exited with " << code << "\n" << Log();
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    FAIL() << "corvane did not come up\n" << Log();
  }

  // Sends the stop request and returns the exit code, requiring the agent to
  // end within a second.
  int StopAgent(bool interrupt) {
    EXPECT_TRUE(interrupt ? agent_.Interrupt() : agent_.RequestTermination());
    int code = -1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(agent_.Wait(5000, code)) << Log();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    return code;
  }

  std::string Log() const { return TempHome::Read(home_.agent_log()); }

  fs::path InRoot(const std::string& rel) const {
    const std::string in_docs = "我的文档/" + rel;
    return home_.sync_root() / fs::path(std::u8string(in_docs.begin(), in_docs.end()));
  }

  Sample sample_;
  zem::testing::ZemdServer zemd_;
  TempHome home_;
  platform::BackgroundProcess agent_;
};

TEST_F(AgentEndToEnd, ServesEveryFileOnDemandAndStopsOnTerminate) {
  StartAgent();
  // Through the connected folder placeholders show their sizes before
  // anything is downloaded.
  for (const auto& [rel, content] : sample_.files()) {
    ASSERT_EQ(fs::file_size(InRoot(rel)), content.size()) << rel;
  }
  EXPECT_EQ(Log().find("[HYDRATE]"), std::string::npos);
  for (const auto& [rel, content] : sample_.files()) {
    EXPECT_TRUE(ReadAll(InRoot(rel)) == content) << rel;
  }
  EXPECT_EQ(StopAgent(/*interrupt=*/false), 0);
  const std::string log = Log();
  EXPECT_NE(log.find("[HYDRATE-OK] wrote 3145728 bytes"), std::string::npos) << log;
  EXPECT_NE(log.find("[STOP] stop requested, shutting down...\n"), std::string::npos);
  EXPECT_NE(log.find("[OK] disconnected.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[WARN] tray icon failed; falling back to polling loop\n"),
            std::string::npos);
  EXPECT_FALSE(Mounted(home_.sync_root()));
  // Hydrated content stays in the folder after the agent is gone.
  EXPECT_TRUE(ReadAll(InRoot("Photos/tiny.bin")) == sample_.files()[4].second);
}

TEST_F(AgentEndToEnd, ConcurrentReadersGetTheirBytesAndLogLinesStayWhole) {
  StartAgent();
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      for (size_t i = t; i < sample_.files().size(); i += 2) {
        const auto& [rel, content] = sample_.files()[i];
        if (ReadAll(InRoot(rel)) != content) ++mismatches;
      }
    });
  }
  for (auto& r : readers) r.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(StopAgent(/*interrupt=*/true), 0);

  const std::string log = Log();
  EXPECT_NE(log.find("\n[STOP] Ctrl-C received, shutting down...\n"), std::string::npos);
  // Every line is one whole message: a tag at its start, or a continuation
  // indent, or the empty line the Ctrl-C message begins with.
  std::istringstream lines(log);
  std::string line;
  int hydrate_ok = 0;
  while (std::getline(lines, line)) {
    if (line.empty() || line.rfind("     ", 0) == 0) continue;
    ASSERT_EQ(line[0], '[') << "torn line: " << line;
    const size_t close = line.find("] ");
    ASSERT_NE(close, std::string::npos) << line;
    EXPECT_EQ(line.find("[HYDRATE", 1), std::string::npos) << "two messages on one line: " << line;
    if (line.rfind("[HYDRATE-OK]", 0) == 0) ++hydrate_ok;
  }
  EXPECT_GE(hydrate_ok, static_cast<int>(sample_.files().size()) - 1);  // the empty file needs no fetch
}

TEST_F(AgentEndToEnd, UnregisteredFolderIsRefusedWithExitThree) {
  const auto r =
      platform::RunProcess(ProgramPath("register"), {"-u"}, home_.Options());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  fs::create_directories(home_.sync_root());
  const auto agent = platform::RunProcess(ProgramPath("corvane"), {}, home_.Options());
  EXPECT_EQ(agent.exit_code, 3);
  EXPECT_NE(Log().find("[ERR] CfConnectSyncRoot failed: 0x"), std::string::npos) << Log();
  EXPECT_FALSE(Mounted(home_.sync_root()));
}

}  // namespace
}  // namespace zem

namespace zem {
namespace {

// kill -9 leaves the mount behind ("Transport endpoint is not connected");
// the next start must detach it before it examines the folder, and serve.
TEST_F(AgentEndToEnd, RestartAfterKillNineDetachesTheDeadMountAndServes) {
  StartAgent();
  EXPECT_EQ(ReadAll(InRoot("Photos/tiny.bin")), sample_.files()[4].second);
  agent_.Kill();  // SIGKILL; reaped when it ends within two seconds
  ASSERT_TRUE(Mounted(home_.sync_root()));  // the dead mount is still there
  if (!agent_.running()) {
    // It ended and its connection with it: the folder answers at once.
    std::error_code ec;
    fs::directory_iterator it(home_.sync_root(), ec);
    ASSERT_EQ(ec.value(), ENOTCONN);
  }
  // Otherwise a thread of it was waiting on its own mount when it was
  // killed: the process cannot end and anything that touches the folder
  // waits, until the next start aborts that connection (below).

  // The log is appended to: wait for the second start line.
  auto starts = [&] {
    const std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find("[OK] sync provider running"); at != std::string::npos;
         at = log.find("[OK] sync provider running", at + 1)) {
      ++n;
    }
    return n;
  };
  ASSERT_EQ(starts(), 1u);
  ASSERT_TRUE(agent_.Start(ProgramPath("corvane"), {}, home_.Options(), {}, {}).ok());
  for (int i = 0; i < 200 && starts() < 2; ++i) {
    int exit_code;
    if (agent_.Wait(0, exit_code)) FAIL() << "corvane exited with " << exit_code << "\n" << Log();
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_EQ(starts(), 2u) << Log();
  EXPECT_EQ(Log().find("cannot examine sync root"), std::string::npos) << Log();
  const auto& [rel, content] = sample_.files()[5];
  EXPECT_TRUE(ReadAll(InRoot(rel)) == content) << rel;
  EXPECT_EQ(StopAgent(/*interrupt=*/false), 0);
  EXPECT_FALSE(Mounted(home_.sync_root()));
}

}  // namespace
}  // namespace zem

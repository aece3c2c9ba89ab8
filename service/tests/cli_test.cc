// zemd as a program: start-up errors, seeding, signals, admin guard.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "service/testing/zemd_harness.h"
#include "service/tests/api_client.h"

namespace zem::zemd_test {
namespace {

namespace fs = std::filesystem;
using zem::testing::ZemdServer;

struct RunResult {
  int status = -1;
  std::string output;  // stdout and stderr together
};

// Runs zemd with `args` and waits (at most `timeout_s`).
RunResult RunZemd(const std::vector<std::string>& args, int timeout_s = 20) {
  fs::path out = fs::temp_directory_path() / ("zemd-cli-" + std::to_string(::getpid()) + ".out");
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<std::string> full = {ZemdServer::BinaryPath().string()};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  RunResult r;
  int status = 0;
  for (int i = 0; i < timeout_s * 100; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (r.status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  std::ifstream in(out);
  std::stringstream ss;
  ss << in.rdbuf();
  r.output = ss.str();
  fs::remove(out);
  return r;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zemd-cli-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

TEST_F(CliTest, HelpAndBadUsage) {
  RunResult help = RunZemd({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("--data DIR"), std::string::npos);
  EXPECT_NE(help.output.find("seed"), std::string::npos);
  EXPECT_EQ(RunZemd({"--port", "1"}).status, 2);  // no --data
  EXPECT_EQ(RunZemd({"--data", dir_.string(), "--port", "70000"}).status, 2);
  EXPECT_EQ(RunZemd({"--data", dir_.string(), "--bogus"}).status, 2);
  EXPECT_EQ(RunZemd({"seed", "--data", dir_.string()}).status, 2);  // no token
}

TEST_F(CliTest, APortInUseIsReportedClearly) {
  ZemdServer running;
  ASSERT_TRUE(running.ok()) << running.error();
  RunResult r = RunZemd({"--data", (dir_ / "d").string(), "--port",
                         std::to_string(running.port())});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot listen on 127.0.0.1:" + std::to_string(running.port())),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("in use"), std::string::npos) << r.output;
}

// A restart right after a stop takes the same port, although the old
// server's closed connections still linger (TIME_WAIT on its side).
TEST_F(CliTest, RestartsOnItsPortWhileOldConnectionsLinger) {
  int port = 0;
  {
    ZemdServer first;
    ASSERT_TRUE(first.ok()) << first.error();
    port = first.port();
    zem::testing::FaultRule drop;
    drop.path = "/zem/api/cloud-disk/quota";
    drop.kind = "drop";
    drop.count = 3;
    ASSERT_TRUE(first.InjectFault(drop));
    ApiClient api(port, first.token());
    for (int i = 0; i < 3; ++i) api.Quota();  // the server closes these itself
    EXPECT_EQ(first.Stop(), 0);
  }
  zem::testing::ZemdOptions o;
  o.extra_args = {"--port", std::to_string(port)};
  ZemdServer second(o);
  ASSERT_TRUE(second.ok()) << second.error();
  EXPECT_EQ(second.port(), port);
}

TEST_F(CliTest, AnUnwritableDataFolderIsReportedClearly) {
  // Root may write anywhere in a normal file system, but not under /proc.
  fs::path data = dir_ / "ro" / "data";
  if (::geteuid() == 0) {
    data = "/proc/self/zemd-data";
  } else {
    fs::create_directories(dir_ / "ro");
    fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  }
  RunResult r = RunZemd({"--data", data.string(), "--port", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot create"), std::string::npos) << r.output;
}

TEST_F(CliTest, ADataPathThatIsAFileIsReportedClearly) {
  std::ofstream(dir_ / "plain") << "x";
  RunResult r = RunZemd({"--data", (dir_ / "plain").string(), "--port", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("zemd: "), std::string::npos) << r.output;
}

TEST_F(CliTest, ACorruptDatabaseIsReportedClearly) {
  fs::create_directories(dir_ / "data");
  std::ofstream(dir_ / "data" / "zemd.db") << std::string(8192, '\x5a');
  RunResult r = RunZemd({"--data", (dir_ / "data").string(), "--port", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("zemd.db"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("corrupt"), std::string::npos) << r.output;
}

TEST_F(CliTest, SeedImportsATreeThatAServerStartedLaterServes) {
  fs::create_directories(dir_ / "src" / "子目录");
  std::ofstream(dir_ / "src" / "子目录" / "f.txt") << "seeded";
  RunResult seed = RunZemd({"seed", "--data", (dir_ / "data").string(), "--token", "tkn",
                            "--import", (dir_ / "src").string()});
  ASSERT_EQ(seed.status, 0) << seed.output;
  // Seeding again with the same token is fine (the user exists already).
  ASSERT_EQ(RunZemd({"seed", "--data", (dir_ / "data").string(), "--token", "tkn"}).status, 0);

  zem::testing::ZemdOptions o;
  o.token = "tkn";
  o.user = "user";
  ZemdServer zemd(o);
  ASSERT_TRUE(zemd.ok()) << zemd.error();
  // The harness seeds its own folder; seed this one while it is running.
  RunResult live = RunZemd({"seed", "--data", zemd.data_dir().string(), "--token", "tkn",
                            "--import", (dir_ / "src").string()});
  ASSERT_EQ(live.status, 0) << live.output;
  ApiClient api(zemd.port(), "tkn");
  auto folders = ScanEntries(api.ListFolder("0").body, "folders");
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0].name, "子目录");
  auto files = ScanEntries(api.ListFolder(folders[0].id).body, "files");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(api.Download(files[0].id).body, "seeded");
}

TEST_F(CliTest, StopsCleanlyOnSigtermAndSigint) {
  for (int sig : {SIGTERM, SIGINT}) {
    ZemdServer zemd;
    ASSERT_TRUE(zemd.ok()) << zemd.error();
    pid_t pid = zemd.pid();
    kill(pid, sig);
    // Stop() then only collects the exit status.
    EXPECT_EQ(zemd.Stop(), 0) << "signal " << sig;
  }
}

TEST_F(CliTest, ARequestInProgressFinishesBeforeTheServerStops) {
  ZemdServer zemd;
  ASSERT_TRUE(zemd.ok()) << zemd.error();
  std::string id = zemd.CreateFile("0", "slow.bin", std::string(50, 's'));
  zem::testing::FaultRule slow;
  slow.path = "/zem/api/cloud-disk/file/download";
  slow.kind = "trickle";
  slow.chunk_bytes = 10;
  slow.interval_ms = 150;
  ASSERT_TRUE(zemd.InjectFault(slow));
  Answer answer;
  std::thread download([&] {
    ApiClient api(zemd.port(), zemd.token());
    answer = api.Download(id);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // under way
  kill(zemd.pid(), SIGTERM);
  download.join();
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, std::string(50, 's'));
  EXPECT_EQ(zemd.Stop(), 0);
}

TEST_F(CliTest, StartsOnTheDefaultPortWhenFree) {
  // The client's default back end; skipped when something else holds it.
  pid_t pid = fork();
  if (pid == 0) {
    std::string bin = ZemdServer::BinaryPath().string();
    std::string data = (dir_ / "data").string();
    int fd = open("/dev/null", O_WRONLY);
    dup2(fd, 1);
    dup2(fd, 2);
    execl(bin.c_str(), bin.c_str(), "--data", data.c_str(), "--admin-key", "k",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string health;
  int exit_status = -1;
  for (int i = 0; i < 200; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    httplib::Client cli("127.0.0.1", 8081);
    auto r = cli.Get("/admin/health", {{"X-Admin-Key", "k"}});
    if (r && r->status == 200) {
      health = r->body;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (exit_status == 1) GTEST_SKIP() << "port 8081 is in use on this machine";
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_NE(health.find("\"port\":8081"), std::string::npos) << health;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(CliTest, AdminInterfaceNeedsTheKey) {
  ZemdServer zemd;
  ASSERT_TRUE(zemd.ok()) << zemd.error();
  httplib::Client cli("127.0.0.1", zemd.port());
  auto none = cli.Get("/admin/health");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 403);
  auto wrong = cli.Post("/admin/users", {{"X-Admin-Key", "wrong"}}, "{\"name\":\"x\"}",
                        "application/json");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 403);
  EXPECT_EQ(zemd.Admin("GET", "/admin/health").status, 200);
  // Admin requests are not in the log.
  EXPECT_TRUE(zemd.Requests().empty());
}

}  // namespace
}  // namespace zem::zemd_test

// Hydration end to end: placeholders of files that live in zemd, read
// through the mounted sync root with the agent's callback table.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "client/auth_header.h"
#include "client/backend.h"
#include "common/output.h"
#include "platform/file_attributes.h"
#include "platform/text.h"
#include "service/testing/zemd_harness.h"
#include "sync/identity.h"
#include "sync/placeholders.h"
#include "sync/session.h"
#include "platform/linux/integration/sync_root_fixture.h"
#include "tests/support/test_hooks.h"

namespace zem::testing {
namespace {

constexpr char kDownload[] = "/zem/api/cloud-disk/file/download";

class HydrationE2eTest : public SyncRootTest {
 protected:
  void SetUp() override {
    SyncRootTest::SetUp();
    ASSERT_TRUE(zemd_.ok()) << zemd_.error();
    BackendConfig config;
    config.host = u"127.0.0.1";
    config.port = static_cast<uint16_t>(zemd_.port());
    SetBackend(config, AuthHeaderForToken(zemd_.token()));
    ASSERT_TRUE(ConnectAgentSyncRoot(root_, &key_).ok());
    connected_ = true;
  }
  void TearDown() override {
    SyncRootTest::TearDown();
    ResetBackendForTest();
  }

  // A file on the service and its placeholder in the root.
  void AddRemote(const std::string& name, const std::string& content) {
    const std::string id = zemd_.CreateFile("0", name, content);
    ASSERT_FALSE(id.empty()) << zemd_.last_admin_error();
    ids_[name] = id;
    CreateFilePlaceholders(root_, {FileEntry{id, platform::Utf8ToWide(name),
                                             static_cast<int64_t>(content.size()), ""}});
    ASSERT_TRUE(std::filesystem::exists(root_ / name));
  }

  int Downloads() {
    int n = 0;
    for (const auto& r : zemd_.Requests()) n += r.path == kDownload;
    return n;
  }

  ZemdServer zemd_;
  std::map<std::string, std::string> ids_;
};

std::string PReadFile(const std::filesystem::path& p, off_t off, size_t len, int* err) {
  std::string out(len, '\0');
  const int fd = open(p.c_str(), O_RDONLY);
  *err = fd < 0 ? errno : 0;
  if (fd < 0) return {};
  size_t got = 0;
  while (got < len) {
    const ssize_t n = pread(fd, out.data() + got, len - got, off + static_cast<off_t>(got));
    if (n <= 0) {
      if (n < 0) *err = errno;
      break;
    }
    got += static_cast<size_t>(n);
  }
  close(fd);
  out.resize(got);
  return out;
}

TEST_F(HydrationE2eTest, SmallAndMediumFilesHydrateWithTheRightBytes) {
  ScopedOutputCapture out;
  AddRemote("ten.txt", "0123456789");
  const std::string three = Pattern(3 << 20, 11);
  AddRemote("three.bin", three);
  EXPECT_EQ(std::filesystem::file_size(root_ / "three.bin"), three.size());

  EXPECT_EQ(ReadAll(root_ / "ten.txt"), "0123456789");
  int err = 0;
  EXPECT_EQ(PReadFile(root_ / "three.bin", 1 << 20, 2 << 20, &err), three.substr(1 << 20));
  EXPECT_EQ(err, 0);
  EXPECT_EQ(Downloads(), 2);
  // A read returns as soon as its range has arrived; the fetch finishes (and
  // logs, and marks the file hydrated) just after.
  for (int i = 0; i < 500 && !StateOf(root_ / "three.bin").hydrated; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  const std::string log = out.out();
  const std::string ten = (root_ / "ten.txt").string();
  EXPECT_NE(log.find("[HYDRATE] file=" + ten + " id=" + ids_["ten.txt"] + " offset=0 length=10\n"),
            std::string::npos) << log;
  EXPECT_NE(log.find("[HYDRATE-OK] wrote 10 bytes (file id=" + ids_["ten.txt"] +
                     ", streamed 10B from HTTP)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[HYDRATE-OK] wrote 3145728 bytes (file id=" + ids_["three.bin"] +
                     ", streamed 3145728B from HTTP)\n"), std::string::npos) << log;
  EXPECT_EQ(out.err(), "");
  EXPECT_TRUE(StateOf(root_ / "three.bin").hydrated);
  EXPECT_TRUE(StateOf(root_ / "three.bin").in_sync);
}

TEST_F(HydrationE2eTest, HundredMebibyteFileStreamsThroughTheMount) {
  ScopedOutputCapture out;
  const std::string big = Pattern(100 << 20, 23);
  AddRemote("big.bin", big);
  EXPECT_EQ(ReadAll(root_ / "big.bin"), big);
  EXPECT_EQ(Downloads(), 1);
  Disconnect();
  EXPECT_EQ(std::filesystem::file_size(root_ / "big.bin"), big.size());
}

TEST_F(HydrationE2eTest, TwoReadersAtOnceMakeOneDownload) {
  ScopedOutputCapture out;
  const std::string content = Pattern(8 << 20, 5);
  AddRemote("shared.bin", content);
  FaultRule slow;
  slow.path = kDownload;
  slow.kind = "delay";
  slow.delay_ms = 300;  // both readers arrive while the first answer is pending
  ASSERT_TRUE(zemd_.InjectFault(slow));
  std::string a, b;
  std::thread t1([&] { a = ReadAll(root_ / "shared.bin"); });
  std::thread t2([&] { b = ReadAll(root_ / "shared.bin"); });
  t1.join();
  t2.join();
  EXPECT_EQ(a, content);
  EXPECT_EQ(b, content);
  EXPECT_EQ(Downloads(), 1);
}

TEST_F(HydrationE2eTest, FailingDownloadsFailTheReadAndLeaveTheFileRemote) {
  const std::string content = Pattern(1 << 20, 9);
  AddRemote("f.bin", content);
  const std::string id = ids_["f.bin"];
  struct Case {
    FaultRule fault;
    std::string err_line;
  };
  std::vector<Case> cases;
  FaultRule unauthorized;
  unauthorized.path = kDownload;
  unauthorized.kind = "status";
  unauthorized.status = 401;
  cases.push_back({unauthorized, "[HTTP-AUTH] hydrate-download got 401"});
  FaultRule server_error = unauthorized;
  server_error.status = 500;
  cases.push_back({server_error, "[HTTP-ERR] hydrate-download got 500\n[HYDRATE-ERR] HttpOpenFull failed for id=" + id + "\n"});
  FaultRule cut;
  cut.path = kDownload;
  cut.kind = "cut";
  cut.after_bytes = 300000;
  cases.push_back({cut, "[HYDRATE-WARN] expected 1048576 but only wrote 300000\n"});

  for (Case& c : cases) {
    SCOPED_TRACE(c.fault.kind + " " + std::to_string(c.fault.status));
    ScopedOutputCapture out;
    // The page cache retries failed reads on its own, and each retry starts
    // a new fetch: the program sees the error when those fail too.
    c.fault.count = 50;
    ASSERT_TRUE(zemd_.InjectFault(c.fault));
    int err = 0;
    PReadFile(root_ / "f.bin", 0, content.size(), &err);  // past the cut too
    EXPECT_EQ(err, EIO);
    EXPECT_NE(out.err().find(c.err_line), std::string::npos) << out.all();
    if (c.fault.status == 401) {
      EXPECT_NE(out.err().find("[HYDRATE-ERR] HttpOpenFull failed for id=" + id + "\n"),
                std::string::npos);
    }
    EXPECT_FALSE(StateOf(root_ / "f.bin").hydrated);
    EXPECT_EQ(std::filesystem::file_size(root_ / "f.bin"), content.size());
    zemd_.ClearFaults();
  }
  // With the service healthy again the next read succeeds.
  EXPECT_EQ(ReadAll(root_ / "f.bin"), content);
}

TEST_F(HydrationE2eTest, ConversionOutsideTheSyncRootPrintsTheHresult) {
  ScopedOutputCapture out;
  const auto outside = home_ / "outside.txt";
  { std::ofstream(outside) << "x"; }
  EXPECT_FALSE(ConvertToFilePlaceholder(outside, "1"));
  EXPECT_FALSE(MarkPendingPlaceholder(outside));
  EXPECT_EQ(out.err(), "[CONVERT-ERR] CfConvertToPlaceholder hr=0x80070186 for " +
                           outside.string() + "\n[PENDING-ERR] CfConvertToPlaceholder hr=0x80070186 for " +
                           outside.string() + "\n");
}

// Mirrored placeholders are marked in sync; a pending upload is not (it
// would look synced and never go up).
TEST_F(HydrationE2eTest, ReassertMarksMirroredPlaceholdersButNotPendingFiles) {
  {
    ScopedOutputCapture out;
    ReassertInSync(root_ / "no-such-dir");
    EXPECT_EQ(out.all(), "");
    std::filesystem::create_directories(root_ / "empty");
    ReassertInSync(root_ / "empty");
    EXPECT_EQ(out.out(), "[REASSERT] 0 placeholders marked IN_SYNC (0 failed)\n");
  }
  AddRemote("a.txt", "aaa");
  std::filesystem::create_directories(root_ / "sub");
  AddRemote("b.txt", "bbb");
  std::filesystem::rename(root_ / "b.txt", root_ / "sub" / "b.txt");
  { std::ofstream(root_ / "sub" / "plain.txt") << "not a placeholder"; }
  { std::ofstream(root_ / "sub" / "pending.txt") << "p"; }
  ASSERT_TRUE(MarkPendingPlaceholder(root_ / "sub" / "pending.txt"));
  std::filesystem::create_symlink("a.txt", root_ / "link");  // a reparse point that is no placeholder
  // A local change (of the last-write time: no fetch needed) puts it out of sync.
  ASSERT_TRUE(platform::WriteLastWriteTime(root_ / "a.txt", platform::CurrentFileTime()).ok());
  ASSERT_FALSE(StateOf(root_ / "a.txt").in_sync);

  ScopedOutputCapture out;
  ReassertInSync(root_);
  // A pending placeholder is a local change waiting for its upload: it is
  // not marked (nor counted).
  EXPECT_EQ(out.out(), "[REASSERT] 2 placeholders marked IN_SYNC (1 failed)\n");
  EXPECT_TRUE(StateOf(root_ / "a.txt").in_sync);
  EXPECT_FALSE(StateOf(root_ / "sub" / "pending.txt").in_sync);
}

// A folder the walk cannot enter ends the walk with a report instead of an
// exception that would end the reassert thread. Run as an unprivileged user
// in a child process, so the folder's mode is honoured.
TEST_F(SyncRootTest, ReassertStopsAtAWalkErrorAndStillReports) {
  const auto top = home_ / "walk";
  std::filesystem::create_directories(top / "locked" / "inside");
  std::filesystem::permissions(home_, std::filesystem::perms(0755));
  std::filesystem::permissions(top / "locked", std::filesystem::perms::none);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    int code = 0;
    try {
      ScopedOutputCapture out;
      ReassertInSync(top);
      if (out.err().find("[REASSERT-ERR] walk stopped at ") == std::string::npos) code = 1;
      if (out.out() != "[REASSERT] 0 placeholders marked IN_SYNC (0 failed)\n") code = 2;
    } catch (...) {
      code = 4;  // the walk error escaped: it would have ended the thread
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  std::filesystem::permissions(top / "locked", std::filesystem::perms(0755));
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace zem::testing

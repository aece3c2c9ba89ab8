// The Linux provider against what a careless user, a crash and the engine's
// own changes do to the folder: names that are not one component, renames of
// service folders, content cut off by a crash or written while unmounted,
// re-pointed placeholders seen through the kernel's caches, and a dead mount
// recovered before the folder is examined.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <thread>

#include "platform/linux/integration/sync_root_fixture.h"
#include "platform/sync_root_recovery.h"

namespace zem::testing {
namespace {

using platform::Status;

int64_t SizeOf(const std::filesystem::path& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void WriteFile(const std::filesystem::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

std::string XattrOf(const std::filesystem::path& p, const char* name) {
  char buf[256];
  const ssize_t n = getxattr(p.c_str(), name, buf, sizeof buf);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

TEST_F(SyncRootTest, NamesThatAreNotOnePlainComponentAreRefusedPerItem) {
  std::filesystem::create_directories(root_ / "sub");
  std::vector<platform::PlaceholderItem> items(8);
  const std::vector<std::string> names = {"../escaped.txt", "", ".", "..", "a/b.txt",
                                          std::string("nul\0x", 5), "ok.txt", "..."};
  for (size_t i = 0; i < items.size(); ++i) {
    items[i].relative_name = names[i];
    items[i].identity = "F:" + std::to_string(i);
    items[i].size = 3;
  }
  std::filesystem::create_directories(root_ / "a");
  EXPECT_EQ(platform::CreatePlaceholders(root_ / "sub", items).hresult(), platform::kHrInvalidArgument);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(items[i].result.hresult(), platform::kHrInvalidArgument) << i;
  EXPECT_TRUE(items[6].result.ok());
  EXPECT_TRUE(items[7].result.ok());  // "..." is an ordinary name
  EXPECT_FALSE(std::filesystem::exists(root_ / "escaped.txt"));
  EXPECT_FALSE(std::filesystem::exists(root_ / "sub" / "a"));
  EXPECT_FALSE(std::filesystem::exists(root_ / "a" / "b.txt"));
  EXPECT_EQ(StateOf(root_ / "sub" / "ok.txt").identity, "F:6");
  EXPECT_FALSE(platform::IsPlainPlaceholderName("x/"));
  EXPECT_TRUE(platform::IsPlainPlaceholderName("报告 (2).txt"));
}

TEST_F(SyncRootTest, ServiceFoldersAndReadOnlyItemsAreNotRenamedButPlainItemsAre) {
  ASSERT_TRUE(Connect({}).ok());
  std::vector<platform::PlaceholderItem> dirs(2);
  dirs[0].relative_name = "文档";
  dirs[0].identity = "D:7";
  dirs[1].relative_name = "共享";
  dirs[1].identity = "V:shared";
  for (auto& d : dirs) d.attributes = platform::kPlaceholderAttributeDirectory;
  ASSERT_TRUE(platform::CreatePlaceholders(root_, dirs).ok());
  ASSERT_TRUE(AddFile("inner.txt", 0, "F:8", 0x80, "文档").ok());
  WriteFile(root_ / "文档" / "mine.txt", "kept");
  ASSERT_TRUE(AddFile("ro.txt", 0, "S:9", platform::kPlaceholderAttributeReadonly, "共享").ok());
  std::filesystem::create_directories(root_ / "plain");
  ASSERT_TRUE(AddFile("f.txt", 0, "F:10").ok());

  ::testing::internal::CaptureStderr();
  EXPECT_NE(rename((root_ / "文档").c_str(), (root_ / "改名").c_str()), 0);
  EXPECT_EQ(errno, EPERM);
  EXPECT_NE(rename((root_ / "共享").c_str(), (root_ / "文档" / "共享").c_str()), 0);
  EXPECT_EQ(errno, EPERM);
  EXPECT_NE(rename((root_ / "共享" / "ro.txt").c_str(), (root_ / "共享" / "x.txt").c_str()), 0);
  EXPECT_EQ(errno, EPERM);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[RENAME-REFUSED] " + (root_ / "文档").string() +
                     ": folders are renamed on the web, not here\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[RENAME-REFUSED] " + (root_ / "共享" / "ro.txt").string() + ": "),
            std::string::npos);

  // The folder and its content are untouched.
  EXPECT_EQ(StateOf(root_ / "文档").identity, "D:7");
  EXPECT_EQ(StateOf(root_ / "文档" / "inner.txt").identity, "F:8");
  EXPECT_EQ(ReadAll(root_ / "文档" / "mine.txt"), "kept");
  EXPECT_FALSE(std::filesystem::exists(root_ / "改名"));
  // Plain folders and file placeholders move freely.
  EXPECT_EQ(rename((root_ / "plain").c_str(), (root_ / "plain2").c_str()), 0);
  EXPECT_EQ(rename((root_ / "f.txt").c_str(), (root_ / "文档" / "f.txt").c_str()), 0);
  EXPECT_EQ(StateOf(root_ / "文档" / "f.txt").identity, "F:10");
}

// What the engine changes is what the next stat shows, whatever the kernel
// cached before.
TEST_F(SyncRootTest, ProviderChangesAreVisibleAtOnceThroughTheCaches) {
  FakeCloud cloud;
  cloud.Put("F:old", "old content");
  const std::string fresh = Pattern(70000, 11);
  cloud.Put("F:new", fresh);
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  ASSERT_TRUE(AddFile("a.txt", 11, "F:old").ok());
  ASSERT_TRUE(AddFile("b.txt", 5, "F:b").ok());
  // Created through the mount: the logical size shows at once.
  EXPECT_EQ(SizeOf(root_ / "a.txt"), 11);
  EXPECT_EQ(ReadAll(root_ / "a.txt"), "old content");
  EXPECT_EQ(SizeOf(root_ / "a.txt"), 11);
  EXPECT_EQ(SizeOf(root_ / "b.txt"), 5);
  EXPECT_EQ(SizeOf(root_ / "c.txt"), -1);  // cached as missing now

  // Re-pointed: new size at once, old content gone, the next read fetches.
  {
    platform::PlaceholderHandle h;
    ASSERT_TRUE(h.Open(root_ / "a.txt", false).ok());
    ASSERT_TRUE(h.Repoint("F:new", static_cast<int64_t>(fresh.size()), "").ok());
  }
  EXPECT_EQ(SizeOf(root_ / "a.txt"), static_cast<int64_t>(fresh.size()));
  platform::PlaceholderState s = StateOf(root_ / "a.txt");
  EXPECT_EQ(s.identity, "F:new");
  EXPECT_TRUE(s.in_sync);
  EXPECT_FALSE(s.hydrated);
  EXPECT_EQ(s.logical_size, static_cast<int64_t>(fresh.size()));
  EXPECT_EQ(ReadAll(root_ / "a.txt"), fresh);
  EXPECT_EQ(cloud.fetches(), 2);
  EXPECT_TRUE(StateOf(root_ / "a.txt").hydrated);

  // Deleted by the engine: gone at once. New: present at once.
  ASSERT_TRUE(std::filesystem::remove(root_ / "b.txt"));
  EXPECT_EQ(SizeOf(root_ / "b.txt"), -1);
  ASSERT_TRUE(AddFile("c.txt", 42, "F:c").ok());
  EXPECT_EQ(SizeOf(root_ / "c.txt"), 42);
  // Re-pointed to an empty file: whole at once, nothing to fetch.
  {
    platform::PlaceholderHandle h;
    ASSERT_TRUE(h.Open(root_ / "c.txt", false).ok());
    ASSERT_TRUE(h.Repoint("F:empty", 0, "").ok());
    EXPECT_EQ(h.Repoint("F:x", -1, "").hresult(), platform::kHrInvalidArgument);
  }
  EXPECT_EQ(SizeOf(root_ / "c.txt"), 0);
  EXPECT_TRUE(StateOf(root_ / "c.txt").hydrated);
  EXPECT_EQ(ReadAll(root_ / "c.txt"), "");
  EXPECT_EQ(cloud.fetches(), 2);
  // A plain file is no placeholder to re-point.
  WriteFile(root_ / "plain.txt", "p");
  platform::PlaceholderHandle h;
  ASSERT_TRUE(h.Open(root_ / "plain.txt", false).ok());
  const platform::Status refused = h.Repoint("F:1", 1, "");
  EXPECT_TRUE(refused.Is(platform::kHrNotACloudFile));
  EXPECT_EQ(refused.message(), "repoint " + (root_ / "plain.txt").string() +
                                   ": The file is not a cloud file");
}

TEST_F(SyncRootTest, RepointUnmountedDropsContentAndFetchesTheNewFileAfterConnect) {
  FakeCloud cloud;
  cloud.Put("F:2", "second");
  WriteFile(root_ / "a.txt", "first version");
  {
    platform::PlaceholderHandle h;
    ASSERT_TRUE(h.Open(root_ / "a.txt", false).ok());
    ASSERT_TRUE(h.ConvertToPlaceholder("F:1", true).ok());
    const std::string sha(64, 'a');
    ASSERT_TRUE(h.Repoint("F:2", 6, sha).ok());
  }
  EXPECT_EQ(std::filesystem::file_size(root_ / "a.txt"), 0u);  // nothing stale on disk
  EXPECT_EQ(XattrOf(root_ / "a.txt", "user.zem.sha256"), std::string(64, 'a'));
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  EXPECT_EQ(SizeOf(root_ / "a.txt"), 6);
  EXPECT_EQ(ReadAll(root_ / "a.txt"), "second");
  ASSERT_EQ(cloud.infos().size(), 1u);
  EXPECT_EQ(cloud.infos()[0].content_sha256, std::string(64, 'a'));
  EXPECT_EQ(cloud.infos()[0].identity, "F:2");
}

// A placeholder written here is never marked over or dropped by mistake: a
// mark made while a writer keeps the file open does not hide that writer's
// next write, and re-pointing a changed file is refused.
TEST_F(SyncRootTest, WritesAfterAnInSyncMarkStayChangesAndAreNeverRepointedAway) {
  FakeCloud cloud;
  cloud.Put("F:1", "service");
  ASSERT_TRUE(AddFile("a.txt", 7, "F:1").ok());
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  const int fd = open((root_ / "a.txt").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "one", 3), 3);
  EXPECT_FALSE(StateOf(root_ / "a.txt").in_sync);
  {
    platform::PlaceholderHandle h;  // the engine has uploaded "one"
    ASSERT_TRUE(h.Open(root_ / "a.txt", false).ok());
    ASSERT_TRUE(h.SetInSyncState(true).ok());
  }
  EXPECT_TRUE(StateOf(root_ / "a.txt").in_sync);
  ASSERT_EQ(write(fd, " two", 4), 4);  // same handle, after the mark
  close(fd);
  EXPECT_FALSE(StateOf(root_ / "a.txt").in_sync);

  platform::PlaceholderHandle h;
  ASSERT_TRUE(h.Open(root_ / "a.txt", true).ok());
  EXPECT_EQ(h.Repoint("F:2", 5, "").hresult(), platform::kHrNotInSync);
  h.Close();
  EXPECT_EQ(ReadAll(root_ / "a.txt"), "one two");
  EXPECT_EQ(StateOf(root_ / "a.txt").identity, "F:1");
}

// kill -9 during a fetch leaves part of the content and the fetching mark.
TEST_F(SyncRootTest, ContentOfAFetchCutByACrashIsDroppedAndFetchedAgain) {
  FakeCloud cloud;
  const std::string content = Pattern(10000, 4);
  cloud.Put("F:1", content);
  ASSERT_TRUE(AddFile("a.bin", 10000, "F:1").ok());
  WriteFile(root_ / "a.bin", content.substr(0, 3000));
  ASSERT_EQ(setxattr((root_ / "a.bin").c_str(), "user.zem.state", "5", 1, 0), 0);  // in sync + fetching
  EXPECT_FALSE(StateOf(root_ / "a.bin").hydrated);  // unmounted, read the same way
  EXPECT_EQ(StateOf(root_ / "a.bin").logical_size, 10000);

  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  EXPECT_EQ(SizeOf(root_ / "a.bin"), 10000);  // never the partial length
  platform::PlaceholderState s = StateOf(root_ / "a.bin");
  EXPECT_FALSE(s.hydrated);
  EXPECT_TRUE(s.in_sync);
  EXPECT_EQ(ReadAll(root_ / "a.bin"), content);
  EXPECT_EQ(cloud.fetches(), 1);
  EXPECT_TRUE(StateOf(root_ / "a.bin").hydrated);
  Disconnect();
  EXPECT_EQ(ReadAll(root_ / "a.bin"), content);
  EXPECT_EQ(XattrOf(root_ / "a.bin", "user.zem.state"), "3");  // mark gone
}

TEST_F(SyncRootTest, ContentWrittenWhileUnmountedIsTheUsersAndNeverFetchedOver) {
  FakeCloud cloud;
  cloud.Put("F:1", Pattern(10000, 1));
  ASSERT_TRUE(AddFile("a.txt", 10000, "F:1").ok());
  ASSERT_TRUE(AddFile("b.txt", 10000, "F:1").ok());
  WriteFile(root_ / "a.txt", "my edit");
  WriteFile(root_ / "b.txt", "mine too");
  platform::PlaceholderState s = StateOf(root_ / "a.txt");  // unmounted
  EXPECT_TRUE(s.hydrated);
  EXPECT_FALSE(s.in_sync);
  EXPECT_EQ(s.logical_size, 7);

  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  EXPECT_EQ(SizeOf(root_ / "a.txt"), 7);  // first access: a stat
  EXPECT_EQ(ReadAll(root_ / "a.txt"), "my edit");
  EXPECT_EQ(ReadAll(root_ / "b.txt"), "mine too");  // first access: an open
  s = StateOf(root_ / "b.txt");
  EXPECT_TRUE(s.hydrated);
  EXPECT_FALSE(s.in_sync);
  EXPECT_EQ(s.identity, "F:1");
  EXPECT_EQ(s.logical_size, 8);
  EXPECT_EQ(cloud.fetches(), 0);
}

TEST_F(SyncRootTest, FetchIsRefusedBytesPastTheLogicalSize) {
  platform::SyncRootCallbacks cb;
  Status past;
  cb.fetch_data = [&](const platform::FetchDataInfo& info) {
    const std::string body(static_cast<size_t>(info.file_size) + 10, 'z');
    past = platform::TransferData(info.key, platform::kStatusSuccess, body.data(), 0,
                                  static_cast<int64_t>(body.size()));
  };
  ASSERT_TRUE(Connect(cb).ok());
  ASSERT_TRUE(AddFile("a.txt", 100, "F:1").ok());
  const int fd = open((root_ / "a.txt").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char buf[200];
  EXPECT_LT(read(fd, buf, sizeof buf), 0);
  EXPECT_EQ(errno, EIO);
  close(fd);
  EXPECT_FALSE(past.ok());
  EXPECT_FALSE(StateOf(root_ / "a.txt").hydrated);
  Disconnect();
  EXPECT_EQ(std::filesystem::file_size(root_ / "a.txt"), 0u);
}

TEST_F(SyncRootTest, RecoverSyncRootFolderDetachesTheMountOfACrashedAgent) {
  platform::RecoverSyncRootFolder(root_);  // nothing to do
  EXPECT_TRUE(std::filesystem::is_directory(root_));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::ConnectionKey k;
    const char ok = platform::ConnectSyncRoot(root_, {}, &k).ok() ? '1' : '0';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  close(ready[0]);
  ASSERT_EQ(ok, '1');
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  std::error_code ec;
  std::filesystem::directory_iterator it(root_, ec);
  EXPECT_EQ(ec.value(), ENOTCONN);  // what the agent's folder check ran into

  platform::RecoverSyncRootFolder(root_);
  EXPECT_TRUE(std::filesystem::is_directory(root_, ec)) << ec.message();
  std::filesystem::directory_iterator again(root_, ec);
  EXPECT_FALSE(ec) << ec.message();
  ASSERT_TRUE(Connect({}).ok());
}


// A listing hands the kernel every entry's attributes: those of a subfolder's
// placeholders carry their logical sizes too, also after the folder moved.
TEST_F(SyncRootTest, ListingsOfSubfoldersShowLogicalSizes) {
  std::filesystem::create_directories(root_ / "a" / "b");
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(AddFile("f" + std::to_string(i) + ".txt", 1000 + i, "F:" + std::to_string(i),
                      0x80, "a/b").ok());
  }
  ASSERT_TRUE(Connect({}).ok());
  std::filesystem::rename(root_ / "a", root_ / "moved");
  for (const std::string dir : {"moved/b", "moved/b"}) {  // first and repeated listing
    int seen = 0;
    for (const auto& e : std::filesystem::directory_iterator(root_ / dir)) {
      const std::string name = e.path().filename().string();
      const int i = std::stoi(name.substr(1));
      EXPECT_EQ(e.file_size(), static_cast<uintmax_t>(1000 + i)) << name;
      EXPECT_EQ(SizeOf(e.path()), 1000 + i) << name;
      ++seen;
    }
    EXPECT_EQ(seen, 40);
  }
}


// A rename handler finds the file under its new name at once, even where
// the kernel had cached that name as missing (the file was there before and
// moved away): the notification waits for the kernel to finish the rename.
TEST_F(SyncRootTest, RenameHandlersSeeTheNewNameAtOnce) {
  FakeCloud cloud;
  std::filesystem::create_directory(root_ / "A");
  std::filesystem::create_directory(root_ / "B");
  std::atomic<int> renamed{0}, missing{0};
  platform::SyncRootCallbacks callbacks = cloud.Callbacks();
  callbacks.rename_completion = [&](const platform::ChangeInfo& info) {
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(info.path, ec))) ++missing;
    ++renamed;
  };
  ASSERT_TRUE(Connect(callbacks).ok());
  constexpr int kFiles = 200, kRounds = 8;
  for (int i = 0; i < kFiles; ++i) WriteFile(root_ / "A" / ("f" + std::to_string(i)), "x");
  for (int round = 0; round < kRounds; ++round) {
    const char* from = round % 2 ? "B" : "A";
    const char* to = round % 2 ? "A" : "B";
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = "f" + std::to_string(i);
      std::filesystem::rename(root_ / from / name, root_ / to / name);
    }
    // The handlers keep up before the files move on.
    for (int i = 0; i < 100 && renamed.load() < (round + 1) * kFiles; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  Disconnect();
  EXPECT_EQ(renamed.load(), kFiles * kRounds);
  EXPECT_EQ(missing.load(), 0);
}
}  // namespace
}  // namespace zem::testing

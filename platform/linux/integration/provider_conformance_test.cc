// The sync-root provider as the engine sees it: placeholders created in a
// batch, hydration on first read, notifications, in-sync tracking.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>

#include "platform/file_attributes.h"
#include "platform/linux/integration/sync_root_fixture.h"

namespace zem::testing {
namespace {

using platform::Hresult;

// pread through the mount; returns the bytes or sets *err.
std::string PRead(const std::filesystem::path& p, int64_t off, size_t len, int* err = nullptr) {
  const int fd = open(p.c_str(), O_RDONLY);
  if (fd < 0) {
    if (err) *err = errno;
    return {};
  }
  std::string out(len, '\0');
  size_t got = 0;
  while (got < len) {
    const ssize_t n = pread(fd, out.data() + got, len - got, off + static_cast<off_t>(got));
    if (n < 0) {
      if (err) *err = errno;
      close(fd);
      return out.substr(0, got);
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (err) *err = 0;
  return out.substr(0, got);
}

TEST_F(SyncRootTest, ConnectingNeedsTheRegistrationMark) {
  const auto plain = home_ / "plain";
  std::filesystem::create_directories(plain);
  platform::ConnectionKey key = 0;
  EXPECT_EQ(platform::ConnectSyncRoot(plain, {}, &key), platform::kHrNotUnderSyncRoot);
  EXPECT_EQ(platform::DisconnectSyncRoot(12345), platform::kHrInvalidKey);
  // Creating placeholders outside a sync root is refused the same way.
  std::vector<platform::PlaceholderItem> items(1);
  items[0].relative_name = "a.txt";
  items[0].identity = "F:1";
  EXPECT_EQ(platform::CreatePlaceholders(plain, items), platform::kHrNotUnderSyncRoot);
  EXPECT_EQ(items[0].result, platform::kHrNotUnderSyncRoot);
  EXPECT_FALSE(std::filesystem::exists(plain / "a.txt"));
}

TEST_F(SyncRootTest, BatchCreatesPlaceholdersWithNamesSizesIdentitiesAndAttributes) {
  FakeCloud cloud;
  ASSERT_EQ(Connect(cloud.Callbacks()), 0);
  struct stat mounted, parent;
  ASSERT_EQ(stat(root_.c_str(), &mounted), 0);
  ASSERT_EQ(stat(home_.c_str(), &parent), 0);
  ASSERT_NE(mounted.st_dev, parent.st_dev);  // the mount is over the folder

  std::vector<platform::PlaceholderItem> items(4);
  items[0].relative_name = "报告.txt";
  items[0].size = 123456;
  items[0].identity = "F:42";
  items[0].mark_in_sync = true;
  items[0].last_write_time = 133000000000000000LL;  // 2022-06-18
  items[1].relative_name = "folder";
  items[1].attributes = platform::kFileAttributeDirectory;
  items[1].identity = "D:7";
  items[1].mark_in_sync = true;
  items[2].relative_name = "shared.doc";
  items[2].size = 5;
  items[2].identity = "S:9";
  items[2].attributes = platform::kFileAttributeReadonly;
  items[3].relative_name = "报告.txt";  // exists now: this item fails alone
  items[3].identity = "F:43";
  const Hresult hr = platform::CreatePlaceholders(root_, items);
  EXPECT_LT(hr, 0);
  EXPECT_EQ(items[0].result, 0);
  EXPECT_EQ(items[1].result, 0);
  EXPECT_EQ(items[2].result, 0);
  EXPECT_EQ(items[3].result, hr);

  std::set<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(root_)) names.insert(e.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"报告.txt", "folder", "shared.doc"}));

  EXPECT_EQ(std::filesystem::file_size(root_ / "报告.txt"), 123456u);
  EXPECT_EQ(std::filesystem::file_size(root_ / "shared.doc"), 5u);
  auto s = StateOf(root_ / "报告.txt");
  EXPECT_TRUE(s.is_placeholder);
  EXPECT_TRUE(s.in_sync);
  EXPECT_FALSE(s.hydrated);
  EXPECT_EQ(s.identity, "F:42");
  EXPECT_EQ(StateOf(root_ / "folder").identity, "D:7");
  EXPECT_FALSE(StateOf(root_ / "shared.doc").in_sync);

  uint32_t a = 0;
  ASSERT_EQ(platform::ReadFileAttributes(root_ / "报告.txt", &a), 0u);
  EXPECT_EQ(a, platform::kFileAttributeReparsePoint);
  ASSERT_EQ(platform::ReadFileAttributes(root_ / "folder", &a), 0u);
  EXPECT_EQ(a, platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint);
  ASSERT_EQ(platform::ReadFileAttributes(root_ / "shared.doc", &a), 0u);
  EXPECT_EQ(a, platform::kFileAttributeReadonly | platform::kFileAttributeReparsePoint);
  int64_t mtime = 0;
  ASSERT_EQ(platform::ReadLastWriteTime(root_ / "报告.txt", &mtime), 0u);
  EXPECT_EQ(mtime, 133000000000000000LL);

  // Unmounted, the folder holds the entries themselves, files still empty.
  Disconnect();
  EXPECT_EQ(std::filesystem::file_size(root_ / "报告.txt"), 0u);
  EXPECT_EQ(StateOf(root_ / "报告.txt").identity, "F:42");
  EXPECT_EQ(cloud.fetches(), 0);
}

TEST_F(SyncRootTest, FirstReadHydratesWholeFileOnce) {
  FakeCloud cloud;
  const std::string small = "0123456789";
  const std::string big = Pattern(3 << 20, 7);
  cloud.Put("F:small", small);
  cloud.Put("F:big", big);
  ASSERT_EQ(Connect(cloud.Callbacks()), 0);
  ASSERT_EQ(AddFile("small.txt", 10, "F:small"), 0);
  ASSERT_EQ(AddFile("big.bin", static_cast<int64_t>(big.size()), "F:big"), 0);

  EXPECT_EQ(ReadAll(root_ / "small.txt"), small);
  EXPECT_EQ(PRead(root_ / "big.bin", 1 << 20, 2 << 20), big.substr(1 << 20));
  EXPECT_EQ(cloud.fetches(), 2);

  auto infos = cloud.infos();
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(infos[0].path, root_ / "small.txt");
  EXPECT_EQ(infos[0].required_offset, 0);
  EXPECT_EQ(infos[0].required_length, 10);
  EXPECT_EQ(infos[0].file_size, 10);
  EXPECT_EQ(infos[0].pid, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(infos[1].required_length, 3 << 20);  // the whole file, whatever was read

  EXPECT_TRUE(StateOf(root_ / "big.bin").hydrated);
  EXPECT_TRUE(StateOf(root_ / "big.bin").in_sync);  // hydration is no local change
  int64_t mtime = 0;
  ASSERT_EQ(platform::ReadLastWriteTime(root_ / "big.bin", &mtime), 0u);
  EXPECT_EQ(mtime, 133000000000000000LL);
  // Later reads go to the file on disk, no new fetch.
  EXPECT_EQ(ReadAll(root_ / "big.bin"), big);
  EXPECT_EQ(cloud.fetches(), 2);
  Disconnect();
  EXPECT_EQ(ReadAll(root_ / "big.bin"), big);
}

// Placeholders made while no agent runs (populate) hydrate once it connects.
TEST_F(SyncRootTest, PlaceholdersCreatedUnmountedHydrateAfterConnect) {
  FakeCloud cloud;
  cloud.Put("F:9", "offline-made");
  std::filesystem::create_directories(root_ / "sub");
  ASSERT_EQ(AddFile("late.txt", 12, "F:9", platform::kFileAttributeNormal, "sub"), 0);
  EXPECT_EQ(std::filesystem::file_size(root_ / "sub" / "late.txt"), 0u);  // nothing invented
  ASSERT_EQ(Connect(cloud.Callbacks()), 0);
  EXPECT_EQ(std::filesystem::file_size(root_ / "sub" / "late.txt"), 12u);
  EXPECT_EQ(ReadAll(root_ / "sub" / "late.txt"), "offline-made");
  EXPECT_EQ(cloud.fetches(), 1);
}

TEST_F(SyncRootTest, ConcurrentReadersShareOneFetchAndStreamBehindIt) {
  FakeCloud cloud;
  const std::string content = Pattern(4 << 20, 3);
  cloud.Put("F:1", content);
  cloud.SetPieceDelay(std::chrono::milliseconds(20));
  ASSERT_EQ(Connect(cloud.Callbacks()), 0);
  ASSERT_EQ(AddFile("a.bin", static_cast<int64_t>(content.size()), "F:1"), 0);

  // The first 4 KiB is there long before the whole file is.
  const auto t0 = std::chrono::steady_clock::now();
  std::string head = PRead(root_ / "a.bin", 0, 4096);
  const auto first = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(head, content.substr(0, 4096));
  std::string r1, r2;
  std::thread a([&] { r1 = ReadAll(root_ / "a.bin"); });
  std::thread b([&] { r2 = ReadAll(root_ / "a.bin"); });
  a.join();
  b.join();
  const auto all = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(r1, content);
  EXPECT_EQ(r2, content);
  EXPECT_EQ(cloud.fetches(), 1);
  EXPECT_LT(first * 2, all);  // 16 pieces of 20 ms: the head came after ~1
}

TEST_F(SyncRootTest, FailedFetchFailsTheReadAndLeavesTheFileRemote) {
  FakeCloud cloud;
  const std::string content = Pattern(2 << 20, 5);
  cloud.Put("F:1", content);
  cloud.FailAfter(1 << 20);
  ASSERT_EQ(Connect(cloud.Callbacks()), 0);
  ASSERT_EQ(AddFile("a.bin", static_cast<int64_t>(content.size()), "F:1"), 0);

  int err = 0;
  PRead(root_ / "a.bin", (1 << 20) + 4096, 4096, &err);
  EXPECT_EQ(err, EIO);
  auto s = StateOf(root_ / "a.bin");
  EXPECT_FALSE(s.hydrated);
  EXPECT_EQ(std::filesystem::file_size(root_ / "a.bin"), content.size());

  // The next read starts a new fetch, which now succeeds.
  cloud.FailAfter(-1);
  const int failed_fetches = cloud.fetches();  // readahead may have retried too
  EXPECT_GE(failed_fetches, 1);
  EXPECT_EQ(ReadAll(root_ / "a.bin"), content);
  EXPECT_EQ(cloud.fetches(), failed_fetches + 1);
  EXPECT_TRUE(StateOf(root_ / "a.bin").hydrated);
}

TEST_F(SyncRootTest, FailedFetchLeavesNothingOnDiskForAnUnmountedReader) {
  FakeCloud cloud;
  cloud.Put("F:1", Pattern(1 << 20, 1));
  cloud.FailAfter(512 * 1024);
  ASSERT_EQ(Connect(cloud.Callbacks()), 0);
  ASSERT_EQ(AddFile("a.bin", 1 << 20, "F:1"), 0);
  int err = 0;
  PRead(root_ / "a.bin", 0, 1 << 20, &err);
  EXPECT_EQ(err, EIO);
  Disconnect();
  EXPECT_EQ(std::filesystem::file_size(root_ / "a.bin"), 0u);  // no partial body
}

TEST_F(SyncRootTest, NotificationsCarryPathsIdentitiesAndPid) {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> events;
  auto record = [&](const char* kind) {
    return [&, kind](const platform::ChangeInfo& i) {
      std::lock_guard l(mu);
      events.push_back(std::string(kind) + "|" + i.path.string() + "|" + i.source_path.string() +
                       "|" + i.identity + "|" + (i.is_directory ? "dir" : "file") + "|" +
                       (i.pid == static_cast<uint32_t>(getpid()) ? "me" : "other"));
      cv.notify_all();
    };
  };
  platform::SyncRootCallbacks cb;
  cb.close_completion = record("close");
  cb.delete_completion = record("delete");
  cb.rename_completion = record("rename");
  ASSERT_EQ(Connect(cb), 0);
  ASSERT_EQ(AddFile("p.txt", 0, "F:5"), 0);
  std::vector<platform::PlaceholderItem> dir(1);
  dir[0].relative_name = "d";
  dir[0].attributes = platform::kFileAttributeDirectory;
  dir[0].identity = "D:6";
  ASSERT_EQ(platform::CreatePlaceholders(root_, dir), 0);

  { std::ofstream(root_ / "new.txt") << "hello"; }
  ReadAll(root_ / "p.txt");  // a read-only open reports nothing
  std::filesystem::rename(root_ / "p.txt", root_ / "d" / "q.txt");
  std::filesystem::remove(root_ / "d" / "q.txt");
  std::filesystem::remove(root_ / "d");

  const std::string r = root_.string();
  const std::vector<std::string> want = {
      "close|" + r + "/new.txt|||file|me",
      "rename|" + r + "/d/q.txt|" + r + "/p.txt|F:5|file|me",
      "delete|" + r + "/d/q.txt||F:5|file|me",
      "delete|" + r + "/d||D:6|dir|me",
  };
  std::unique_lock l(mu);
  cv.wait_for(l, std::chrono::seconds(5), [&] { return events.size() >= want.size(); });
  EXPECT_EQ(events, want);
}

TEST_F(SyncRootTest, CompletionsArriveInTheOrderTheOperationsRan) {
  // Each rename returns before the unlink of the new name is issued, so its
  // completion must come first, even when two FUSE threads answer them.
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> events;
  platform::SyncRootCallbacks cb;
  cb.rename_completion = [&](const platform::ChangeInfo& i) {
    std::lock_guard l(mu);
    events.push_back("rename " + i.path.filename().string());
    cv.notify_all();
  };
  cb.delete_completion = [&](const platform::ChangeInfo& i) {
    std::lock_guard l(mu);
    events.push_back("delete " + i.path.filename().string());
    cv.notify_all();
  };
  ASSERT_EQ(Connect(cb), 0);
  constexpr int kRounds = 200;
  for (int n = 0; n < kRounds; ++n) {
    const std::string name = "f" + std::to_string(n);
    ASSERT_EQ(AddFile(name, 0, "F:" + std::to_string(n)), 0);
    std::filesystem::rename(root_ / name, root_ / (name + ".moved"));
    std::filesystem::remove(root_ / (name + ".moved"));
  }
  std::unique_lock l(mu);
  cv.wait_for(l, std::chrono::seconds(10), [&] { return events.size() >= 2 * kRounds; });
  ASSERT_EQ(events.size(), 2u * kRounds);
  for (int n = 0; n < kRounds; ++n) {
    const std::string moved = "f" + std::to_string(n) + ".moved";
    EXPECT_EQ(events[2 * n], "rename " + moved);
    EXPECT_EQ(events[2 * n + 1], "delete " + moved);
  }
}

TEST_F(SyncRootTest, LocalChangesClearInSyncAndReadOnlyPlaceholdersRefuseWrites) {
  ASSERT_EQ(Connect({}), 0);
  ASSERT_EQ(AddFile("w.txt", 0, "F:1"), 0);
  ASSERT_EQ(AddFile("t.txt", 0, "F:2"), 0);
  ASSERT_EQ(AddFile("m.txt", 0, "F:3"), 0);
  ASSERT_EQ(AddFile("ro.txt", 0, "S:4", platform::kFileAttributeReadonly), 0);
  for (const char* n : {"w.txt", "t.txt", "m.txt"}) EXPECT_TRUE(StateOf(root_ / n).in_sync) << n;

  { std::ofstream(root_ / "w.txt", std::ios::app) << "x"; }
  std::filesystem::resize_file(root_ / "t.txt", 3);
  ASSERT_EQ(platform::WriteLastWriteTime(root_ / "m.txt", 134000000000000000LL), 0u);
  for (const char* n : {"w.txt", "t.txt", "m.txt"}) EXPECT_FALSE(StateOf(root_ / n).in_sync) << n;

  // Marking in sync again holds until the next change.
  {
    platform::PlaceholderHandle h;
    ASSERT_EQ(h.Open(root_ / "w.txt", false), 0u);
    EXPECT_EQ(h.SetInSyncState(true), 0);
  }
  EXPECT_TRUE(StateOf(root_ / "w.txt").in_sync);

  EXPECT_LT(open((root_ / "ro.txt").c_str(), O_WRONLY), 0);
  EXPECT_EQ(errno, EACCES);
  EXPECT_NE(truncate((root_ / "ro.txt").c_str(), 0), 0);
  EXPECT_EQ(errno, EACCES);
  EXPECT_GE(open((root_ / "ro.txt").c_str(), O_RDONLY), 0);
}

TEST_F(SyncRootTest, WritingIntoARemoteFileFetchesItFirst) {
  FakeCloud cloud;
  cloud.Put("F:1", "abcdefghij");
  ASSERT_EQ(Connect(cloud.Callbacks()), 0);
  ASSERT_EQ(AddFile("a.txt", 10, "F:1"), 0);
  ASSERT_EQ(AddFile("b.txt", 10, "F:2"), 0);
  {
    std::fstream f(root_ / "a.txt", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(2);
    f << "XY";
  }
  EXPECT_EQ(ReadAll(root_ / "a.txt"), "abXYefghij");
  { std::ofstream(root_ / "b.txt", std::ios::trunc) << "new"; }  // truncation needs no fetch
  EXPECT_EQ(ReadAll(root_ / "b.txt"), "new");
  EXPECT_EQ(cloud.fetches(), 1);
}

TEST_F(SyncRootTest, DisconnectFailsAReadInFlight) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> fetching{false};
  platform::Hresult late = 0;
  platform::SyncRootCallbacks cb;
  cb.fetch_data = [&](const platform::FetchDataInfo& info) {
    fetching = true;
    std::unique_lock l(mu);
    cv.wait_for(l, std::chrono::seconds(20), [&] { return release; });
    late = platform::TransferData(info.key, platform::kStatusSuccess, "x", 0, 1);
  };
  ASSERT_EQ(Connect(cb), 0);
  ASSERT_EQ(AddFile("a.txt", 1, "F:1"), 0);
  int err = 0;
  std::thread reader([&] { PRead(root_ / "a.txt", 0, 1, &err); });
  while (!fetching) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::thread stopper([&] { Disconnect(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  {
    std::lock_guard l(mu);
    release = true;
    cv.notify_all();
  }
  stopper.join();
  reader.join();
  EXPECT_NE(err, 0);
  EXPECT_LT(late, 0);  // the fetch was gone
  EXPECT_EQ(std::filesystem::file_size(root_ / "a.txt"), 0u);
  EXPECT_FALSE(StateOf(root_ / "a.txt").hydrated);
}

TEST_F(SyncRootTest, StaleMountOfADeadProcessIsDetachedAtConnect) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::ConnectionKey k;
    const char ok = platform::Succeeded(platform::ConnectSyncRoot(root_, {}, &k)) ? '1' : '0';
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
  // The mount is dead (statfs always asks the filesystem; stat may still be
  // answered from the kernel's cache).
  struct statfs sfs;
  ASSERT_NE(statfs(root_.c_str(), &sfs), 0);
  EXPECT_EQ(errno, ENOTCONN);

  ASSERT_EQ(Connect({}), 0);
  ASSERT_EQ(AddFile("after.txt", 0, "F:1"), 0);
  EXPECT_TRUE(std::filesystem::exists(root_ / "after.txt"));
  // A second connection to a live root is refused.
  platform::ConnectionKey other;
  EXPECT_EQ(platform::ConnectSyncRoot(root_, {}, &other), platform::kHrAlreadyConnected);
}

TEST_F(SyncRootTest, ConvertUpdateAndInSyncOfLocalItems) {
  ASSERT_EQ(Connect({}), 0);
  { std::ofstream(root_ / "local.txt") << "content"; }
  std::filesystem::create_directories(root_ / "dir");
  platform::PlaceholderHandle h;
  ASSERT_EQ(h.Open(root_ / "local.txt", true), 0u);
  EXPECT_EQ(h.UpdateIdentity("F:1", true), platform::kHrNotACloudFile);
  EXPECT_EQ(h.SetInSyncState(true), platform::kHrNotACloudFile);
  EXPECT_EQ(h.ConvertToPlaceholder("P:123", false), 0);
  platform::PlaceholderState s;
  ASSERT_EQ(h.GetState(&s), 0);
  EXPECT_TRUE(s.is_placeholder);
  EXPECT_TRUE(s.hydrated);
  EXPECT_FALSE(s.in_sync);
  EXPECT_EQ(h.UpdateIdentity("F:99", true), 0);
  ASSERT_EQ(h.GetState(&s), 0);
  EXPECT_EQ(s.identity, "F:99");
  EXPECT_TRUE(s.in_sync);
  h.Close();
  EXPECT_EQ(ReadAll(root_ / "local.txt"), "content");

  ASSERT_EQ(h.Open(root_ / "dir", false), 0u);
  EXPECT_EQ(h.ConvertToPlaceholder("D:5", true), 0);
  EXPECT_EQ(StateOf(root_ / "dir").identity, "D:5");

  EXPECT_EQ(h.Open(root_ / "missing", false), static_cast<uint32_t>(ENOENT));
  // Outside the sync root nothing becomes a placeholder.
  { std::ofstream(home_ / "outside.txt") << "x"; }
  ASSERT_EQ(h.Open(home_ / "outside.txt", true), 0u);
  EXPECT_EQ(h.ConvertToPlaceholder("F:1", true), platform::kHrNotUnderSyncRoot);
}

}  // namespace
}  // namespace zem::testing

// What only the FUSE provider does, seen with POSIX calls: the mount over
// the folder, entries while nothing is mounted, errno values, content left
// by a fetch that failed, stale mounts of a dead process. What every
// provider must do is the conformance suite in tests/provider.
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

using platform::Status;

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

// The mount lies over the folder itself, and the entries live in it: while
// nothing is mounted a file placeholder is an empty file carrying its
// identity, and it hydrates once the folder is connected again. (Names,
// sizes, identities and attributes through the mount: the conformance suite
// in tests/provider.)
TEST_F(SyncRootTest, MountLiesOverTheFolderAndUnmountedEntriesHoldNoInventedContent) {
  FakeCloud cloud;
  cloud.Put("F:42", Pattern(123456, 2));
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  struct stat mounted, parent;
  ASSERT_EQ(stat(root_.c_str(), &mounted), 0);
  ASSERT_EQ(stat(home_.c_str(), &parent), 0);
  ASSERT_NE(mounted.st_dev, parent.st_dev);  // the mount is over the folder
  ASSERT_TRUE(AddFile("报告.txt", 123456, "F:42").ok());
  EXPECT_EQ(std::filesystem::file_size(root_ / "报告.txt"), 123456u);
  uint32_t a = 0;
  ASSERT_TRUE(platform::ReadFileAttributes(root_ / "报告.txt", &a).ok());
  EXPECT_EQ(a, platform::kFileAttributeReparsePoint);  // no other bit invented

  Disconnect();
  EXPECT_EQ(std::filesystem::file_size(root_ / "报告.txt"), 0u);
  EXPECT_EQ(StateOf(root_ / "报告.txt").identity, "F:42");
  EXPECT_EQ(cloud.fetches(), 0);
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  EXPECT_EQ(ReadAll(root_ / "报告.txt"), Pattern(123456, 2));
}
TEST_F(SyncRootTest, PlaceholdersCreatedUnmountedHydrateAfterConnect) {
  FakeCloud cloud;
  cloud.Put("F:9", "offline-made");
  std::filesystem::create_directories(root_ / "sub");
  ASSERT_TRUE(AddFile("late.txt", 12, "F:9", platform::kFileAttributeNormal, "sub").ok());
  EXPECT_EQ(std::filesystem::file_size(root_ / "sub" / "late.txt"), 0u);  // nothing invented
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  EXPECT_EQ(std::filesystem::file_size(root_ / "sub" / "late.txt"), 12u);
  EXPECT_EQ(ReadAll(root_ / "sub" / "late.txt"), "offline-made");
  EXPECT_EQ(cloud.fetches(), 1);
}

// Programs see the FUSE provider's failures as errno values: EIO for a
// read whose fetch failed, EACCES for a write into a read-only placeholder,
// whoever asks.
TEST_F(SyncRootTest, FailuresReachProgramsAsErrnoValues) {
  FakeCloud cloud;
  cloud.Put("F:1", Pattern(2 << 20, 5));
  cloud.FailAfter(1 << 20);
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  ASSERT_TRUE(AddFile("a.bin", 2 << 20, "F:1").ok());
  ASSERT_TRUE(AddFile("ro.txt", 0, "S:4", platform::kFileAttributeReadonly).ok());
  int err = 0;
  PRead(root_ / "a.bin", (1 << 20) + 4096, 4096, &err);
  EXPECT_EQ(err, EIO);
  EXPECT_LT(open((root_ / "ro.txt").c_str(), O_WRONLY), 0);
  EXPECT_EQ(errno, EACCES);
  EXPECT_NE(truncate((root_ / "ro.txt").c_str(), 0), 0);
  EXPECT_EQ(errno, EACCES);
  const int fd = open((root_ / "ro.txt").c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}
TEST_F(SyncRootTest, FailedFetchLeavesNothingOnDiskForAnUnmountedReader) {
  FakeCloud cloud;
  cloud.Put("F:1", Pattern(1 << 20, 1));
  cloud.FailAfter(512 * 1024);
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  ASSERT_TRUE(AddFile("a.bin", 1 << 20, "F:1").ok());
  int err = 0;
  PRead(root_ / "a.bin", 0, 1 << 20, &err);
  EXPECT_EQ(err, EIO);
  Disconnect();
  EXPECT_EQ(std::filesystem::file_size(root_ / "a.bin"), 0u);  // no partial body
}

TEST_F(SyncRootTest, StaleMountOfADeadProcessIsDetachedAtConnect) {
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
  // The mount is dead (statfs always asks the filesystem; stat may still be
  // answered from the kernel's cache).
  struct statfs sfs;
  ASSERT_NE(statfs(root_.c_str(), &sfs), 0);
  EXPECT_EQ(errno, ENOTCONN);

  ASSERT_TRUE(Connect({}).ok());
  ASSERT_TRUE(AddFile("after.txt", 0, "F:1").ok());
  EXPECT_TRUE(std::filesystem::exists(root_ / "after.txt"));
  // A second connection to a live root is refused.
  platform::ConnectionKey other;
  EXPECT_EQ(platform::ConnectSyncRoot(root_, {}, &other).hresult(), platform::kHrAlreadyConnected);
}

}  // namespace
}  // namespace zem::testing

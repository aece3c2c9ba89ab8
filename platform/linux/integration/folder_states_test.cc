// ReadFolderStates on a connected root reads the folder under the mount in
// one pass; for every kind of entry it must report exactly what the generic
// path (ReadEntryState, through the mount) reports, including the provider's
// settling of content cut off by a crash or written while unmounted, and a
// file whose fetch is running.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "platform/file_attributes.h"
#include "platform/folder_states.h"
#include "platform/linux/integration/sync_root_fixture.h"

namespace zem::testing {
namespace {

using platform::FolderEntryState;

void WriteFile(const std::filesystem::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

// The folder under the mount, reached through a descriptor opened before it.
std::string BackingPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::map<std::string, FolderEntryState> ByName(const std::vector<FolderEntryState>& v) {
  std::map<std::string, FolderEntryState> m;
  for (const auto& e : v) m[e.name.string()] = e;
  return m;
}

void ExpectSame(const FolderEntryState& a, const FolderEntryState& b, const std::string& what) {
  EXPECT_EQ(a.name, b.name) << what;
  EXPECT_EQ(a.is_directory, b.is_directory) << what;
  EXPECT_EQ(a.attributes, b.attributes) << what;
  EXPECT_EQ(a.last_write_time, b.last_write_time) << what;
  EXPECT_EQ(a.is_placeholder, b.is_placeholder) << what;
  EXPECT_EQ(a.state.is_placeholder, b.state.is_placeholder) << what;
  EXPECT_EQ(a.state.in_sync, b.state.in_sync) << what;
  EXPECT_EQ(a.state.hydrated, b.state.hydrated) << what;
  EXPECT_EQ(a.state.identity, b.state.identity) << what;
  EXPECT_EQ(a.state.logical_size, b.state.logical_size) << what;
}

class FolderStatesTest : public SyncRootTest {
 protected:
  platform::Status AddFolder(const std::string& name, const std::string& identity) {
    std::vector<platform::PlaceholderItem> items(1);
    items[0].relative_name = name;
    items[0].identity = identity;
    items[0].attributes = platform::kFileAttributeDirectory;
    items[0].mark_in_sync = true;
    return platform::CreatePlaceholders(root_, items);
  }

  // ReadFolderStates of the root, each entry checked against ReadEntryState.
  std::map<std::string, FolderEntryState> ReadAndCompare() {
    std::vector<FolderEntryState> fast;
    EXPECT_TRUE(platform::ReadFolderStates(root_, &fast).ok());
    std::set<std::string> listed;
    for (const auto& entry : std::filesystem::directory_iterator(root_)) {
      listed.insert(entry.path().filename().string());
    }
    auto by_name = ByName(fast);
    EXPECT_EQ(by_name.size(), fast.size()) << "an entry twice";
    std::set<std::string> names;
    for (const auto& [name, e] : by_name) names.insert(name);
    EXPECT_EQ(names, listed);
    for (const auto& [name, e] : by_name) {
      FolderEntryState slow;
      EXPECT_TRUE(platform::ReadEntryState(root_ / name, &slow).ok()) << name;
      ExpectSame(e, slow, name);
    }
    return by_name;
  }
};

TEST_F(FolderStatesTest, OnePassGivesWhatEachEntryGivesThroughTheMount) {
  FakeCloud cloud;
  cloud.Put("F:hyd", "hydrated");
  cloud.Put("F:edit", "original");
  // Three pieces a few seconds apart: a fetch that is still running after
  // its first piece arrived.
  const std::string slow_content = Pattern(3 * 256 * 1024, 9);
  cloud.Put("F:slow", slow_content);

  WriteFile(root_ / "plain.txt", "plain");
  WriteFile(root_ / "readonly.txt", "ro");
  ASSERT_EQ(chmod((root_ / "readonly.txt").c_str(), 0444), 0);
  std::filesystem::create_directory(root_ / "plain_dir");
  std::filesystem::create_symlink("plain.txt", root_ / "link.txt");
  ASSERT_TRUE(AddFile("remote.bin", 1000, "F:remote").ok());
  ASSERT_TRUE(AddFile("hydrated.txt", 8, "F:hyd").ok());
  ASSERT_TRUE(AddFile("edited.txt", 8, "F:edit").ok());
  ASSERT_TRUE(AddFile("empty.txt", 0, "F:empty").ok());
  ASSERT_TRUE(AddFile("shared.txt", 10, "S:5",
                    platform::kFileAttributeReadonly | platform::kFileAttributeHidden).ok());
  ASSERT_TRUE(AddFolder("folder", "D:7").ok());
  ASSERT_TRUE(AddFolder("root", "V:docs").ok());
  WriteFile(root_ / "pending.txt", "new");
  {
    platform::PlaceholderHandle h;
    ASSERT_TRUE(h.Open(root_ / "pending.txt", false).ok());
    ASSERT_TRUE(h.ConvertToPlaceholder("P:123", false).ok());
  }
  // Left behind while nothing was mounted: the user's edit of a remote
  // file, and part of a fetch cut off by a crash (in sync + fetching).
  ASSERT_TRUE(AddFile("offline_edit.txt", 5000, "F:off").ok());
  WriteFile(root_ / "offline_edit.txt", "edited offline");
  ASSERT_TRUE(AddFile("cut.bin", 5000, "F:cut").ok());
  WriteFile(root_ / "cut.bin", Pattern(1000, 3));
  ASSERT_EQ(setxattr((root_ / "cut.bin").c_str(), "user.zem.state", "5", 1, 0), 0);
  ASSERT_TRUE(AddFile("slow.bin", static_cast<int64_t>(slow_content.size()), "F:slow").ok());
  // The backing folder, to change it behind the mount later.
  const int backing = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(backing, 0);

  // Old enough for the one pass to keep what it reads of them (it trusts a
  // kept entry while the entry's status-change time stays the same).
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  // The first look is the one-pass read: it settles the leftovers itself.
  auto states = ReadAndCompare();

  const auto& off = states["offline_edit.txt"];
  EXPECT_TRUE(off.state.hydrated);
  EXPECT_FALSE(off.state.in_sync);
  EXPECT_EQ(off.state.logical_size, 14);
  const auto& cut = states["cut.bin"];
  EXPECT_FALSE(cut.state.hydrated);
  EXPECT_TRUE(cut.state.in_sync);
  EXPECT_EQ(cut.state.logical_size, 5000);
  EXPECT_EQ(std::filesystem::file_size(root_ / "cut.bin"), 5000u);
  EXPECT_EQ(cloud.fetches(), 0);

  // Hydrate one, edit another through the mount.
  EXPECT_EQ(ReadAll(root_ / "hydrated.txt"), "hydrated");
  { std::ofstream(root_ / "edited.txt", std::ios::binary | std::ios::app) << " + mine"; }
  // A fetch that is running: its first piece is on disk, the rest is not
  // (the next piece comes seconds later). A look through the mount waits
  // for such a fetch to end (the kernel drops the file's cached pages, which
  // the waiting reader holds); the one pass does not.
  cloud.SetPieceDelay(std::chrono::milliseconds(2000));
  std::string slow_read;
  std::jthread reader([&] { slow_read = ReadAll(root_ / "slow.bin"); });
  struct stat bst = {};
  for (int i = 0; i < 1000 && bst.st_size == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(fstatat(backing, "slow.bin", &bst, 0), 0);
  }
  ASSERT_GT(bst.st_size, 0) << "the first piece never came";
  std::vector<FolderEntryState> now;
  ASSERT_TRUE(platform::ReadFolderStates(root_, &now).ok());
  ASSERT_EQ(fstatat(backing, "slow.bin", &bst, 0), 0);
  EXPECT_LT(bst.st_size, static_cast<off_t>(slow_content.size())) << "the read waited for the fetch";
  const auto running = ByName(now)["slow.bin"];
  EXPECT_TRUE(running.is_placeholder);
  EXPECT_FALSE(running.state.hydrated);
  EXPECT_TRUE(running.state.in_sync);
  EXPECT_EQ(running.state.identity, "F:slow");
  EXPECT_EQ(running.state.logical_size, static_cast<int64_t>(slow_content.size()));
  reader.join();
  EXPECT_EQ(slow_read, slow_content);

  states = ReadAndCompare();
  const auto& plain = states["plain.txt"];
  EXPECT_EQ(plain.attributes, platform::kFileAttributeNormal);
  EXPECT_FALSE(plain.is_placeholder);
  EXPECT_NE(plain.last_write_time, 0);
  EXPECT_EQ(states["readonly.txt"].attributes, platform::kFileAttributeReadonly);
  EXPECT_EQ(states["plain_dir"].attributes, platform::kFileAttributeDirectory);
  EXPECT_EQ(states["plain_dir"].last_write_time, 0);
  EXPECT_EQ(states["link.txt"].attributes, platform::kFileAttributeReparsePoint);
  EXPECT_FALSE(states["link.txt"].is_placeholder);

  const auto& remote = states["remote.bin"];
  EXPECT_EQ(remote.attributes, platform::kFileAttributeReparsePoint);
  EXPECT_TRUE(remote.is_placeholder);
  EXPECT_TRUE(remote.state.in_sync);
  EXPECT_FALSE(remote.state.hydrated);
  EXPECT_EQ(remote.state.identity, "F:remote");
  EXPECT_EQ(remote.state.logical_size, 1000);
  const auto& hyd = states["hydrated.txt"];
  EXPECT_TRUE(hyd.state.hydrated);
  EXPECT_TRUE(hyd.state.in_sync);
  EXPECT_EQ(hyd.state.logical_size, 8);
  const auto& edited = states["edited.txt"];
  EXPECT_TRUE(edited.state.hydrated);
  EXPECT_FALSE(edited.state.in_sync);
  EXPECT_EQ(edited.state.logical_size, 15);
  EXPECT_TRUE(states["empty.txt"].state.hydrated);
  EXPECT_EQ(states["shared.txt"].attributes,
            platform::kFileAttributeReparsePoint | platform::kFileAttributeReadonly |
                platform::kFileAttributeHidden);
  EXPECT_EQ(states["folder"].attributes,
            platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint);
  EXPECT_EQ(states["folder"].state.identity, "D:7");
  EXPECT_TRUE(states["folder"].state.hydrated);
  EXPECT_EQ(states["root"].state.identity, "V:docs");
  const auto& pending = states["pending.txt"];
  EXPECT_EQ(pending.state.identity, "P:123");
  EXPECT_FALSE(pending.state.in_sync);
  EXPECT_TRUE(pending.state.hydrated);
  const auto& slow = states["slow.bin"];
  EXPECT_TRUE(slow.state.hydrated);
  EXPECT_TRUE(slow.state.in_sync);
  EXPECT_EQ(slow.state.logical_size, static_cast<int64_t>(slow_content.size()));
  EXPECT_EQ(cloud.fetches(), 3);  // hydrated, edited and slow; never the leftovers

  // A kept entry whose attributes changed since is read again.
  const std::string not_in_sync = "0";
  ASSERT_EQ(setxattr((BackingPath(backing) + "/remote.bin").c_str(), "user.zem.state",
                     not_in_sync.data(), not_in_sync.size(), 0),
            0);
  states = ReadAndCompare();
  EXPECT_FALSE(states["remote.bin"].state.in_sync);
  EXPECT_FALSE(states["remote.bin"].state.hydrated);

  // The one pass reads the folder under the mount, not the kernel's copy of
  // the entries: a change made there shows at once.
  ASSERT_EQ(fchmodat(backing, "plain.txt", 0444, 0), 0);
  ASSERT_TRUE(platform::ReadFolderStates(root_, &now).ok());
  EXPECT_EQ(ByName(now)["plain.txt"].attributes, platform::kFileAttributeReadonly);
  close(backing);

  // A folder below the root, a missing one, and a file given as the folder.
  WriteFile(root_ / "folder" / "inner.txt", "inner");
  ASSERT_TRUE(platform::ReadFolderStates(root_ / "folder", &now).ok());
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].name, "inner.txt");
  EXPECT_EQ(now[0].attributes, platform::kFileAttributeNormal);
  EXPECT_TRUE(platform::ReadFolderStates(root_ / "missing", &now).ok());
  EXPECT_TRUE(now.empty());
  EXPECT_TRUE(platform::ReadFolderStates(root_ / "plain.txt", &now).ok());
  EXPECT_TRUE(now.empty());
}

}  // namespace
}  // namespace zem::testing

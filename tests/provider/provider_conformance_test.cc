// What a sync-root provider must do, written against platform/cloud_files.h
// only: names, sizes, identities and attributes of a placeholder batch;
// hydration on first read, once per file, streaming to concurrent readers;
// failures; the close, delete and rename completions and their order;
// in-sync tracking; conversions. The Linux build runs it against the FUSE
// provider (as root, with /dev/fuse); the Windows build runs it wherever
// cldapi.dll is present and a sync root can be registered, and skips,
// saying why, where it cannot (Wine has no Cloud Files API). Behaviour only
// one platform has (a FUSE mount's errno values, content written while
// unmounted, stale mounts) is tested beside that provider.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <list>
#include <set>

#include "platform/environment.h"
#include "platform/file_attributes.h"
#include "platform/sync_root_registration.h"
#include "platform/text.h"
#include "tests/provider/provider_fixture.h"
#include "tests/support/scoped_env.h"

namespace zem::testing {
namespace {

using platform::Status;
namespace fs = std::filesystem;

// `length` bytes at `offset`, or fewer when the read failed (or the file
// ended).
std::string ReadAt(const fs::path& p, int64_t offset, size_t length) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return {};
  in.seekg(offset);
  std::string out(length, '\0');
  in.read(out.data(), static_cast<std::streamsize>(length));
  out.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return out;
}

std::string U8(const fs::path& p) { return platform::PathToUtf8(p); }

// A registered sync-root folder in a temporary home, disconnected and
// unregistered at the end of every test.
class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = MakeTempDir("zem-provider");
    env_.emplace_back("HOME", U8(home_));
    env_.emplace_back("XDG_CONFIG_HOME", U8(home_ / ".config"));
    env_.emplace_back("XDG_DATA_HOME", U8(home_ / ".local" / "share"));
    root_ = home_ / platform::PathFromUtf8("ZEM云盘");
    fs::create_directories(root_);
    // Before anything is registered: a platform without the Cloud Files API
    // says so at once.
    platform::ConnectionKey probe = 0;
    const Status hr = platform::ConnectSyncRoot(root_, {}, &probe);
    if (hr.Is(platform::kHrProviderUnavailable)) {
      GTEST_SKIP() << "no sync-root provider here: cldapi.dll is missing (Wine, or Windows "
                      "before 10 1709); this suite runs on Windows with the Cloud Files API";
    }
    ASSERT_EQ(hr.hresult(), platform::kHrNotUnderSyncRoot)
        << "connected to a folder never registered";
    ASSERT_TRUE(platform::BeginRegistrationSession().ok());
    session_ = true;
    platform::SyncRootRegistration r;
    r.id = std::string(platform::kSyncRootId);
    r.display_name = "ZEM云盘";
    r.folder = root_;
    r.version = "1.0.0";
    r.hydration_policy = 2;    // Full, as `register` sets it
    r.population_policy = 2;   // AlwaysFull
    r.in_sync_policy = 0x300;  // FileLastWriteTime | DirectoryLastWriteTime
    const platform::RegistrationResult reg = platform::RegisterSyncRoot(r);
    if (!reg.ok()) {
      GTEST_SKIP() << "cannot register a sync root here (CfRegisterSyncRoot / the sync-root "
                      "manager failed at "
                   << reg.status.context() << ", hr=0x"
                   << platform::HexHresult(reg.status.hresult()) << " " << reg.status.reason()
                   << ")";
    }
    registered_ = true;
  }

  void TearDown() override {
    Disconnect();
    if (registered_) platform::UnregisterSyncRoot(std::string(platform::kSyncRootId), root_);
    if (session_) platform::EndRegistrationSession();
    std::error_code ec;
    fs::remove_all(home_, ec);
  }

  Status Connect(const platform::SyncRootCallbacks& callbacks) {
    const Status hr = platform::ConnectSyncRoot(root_, callbacks, &key_);
    connected_ = hr.ok();
    return hr;
  }

  void Disconnect() {
    if (connected_) {
      EXPECT_TRUE(platform::DisconnectSyncRoot(key_).ok());
    }
    connected_ = false;
  }

  // One in-sync file placeholder in the root (or `dir` below it).
  Status AddFile(const std::string& name, int64_t size, const std::string& identity,
                 uint32_t attributes = platform::kPlaceholderAttributeNormal,
                 const fs::path& dir = {}) {
    std::vector<platform::PlaceholderItem> items(1);
    items[0].relative_name = platform::PathFromUtf8(name);
    items[0].size = size;
    items[0].identity = identity;
    items[0].attributes = attributes;
    items[0].mark_in_sync = true;
    items[0].last_write_time = items[0].last_access_time = items[0].creation_time =
        items[0].change_time = 133000000000000000LL;
    return platform::CreatePlaceholders(dir.empty() ? root_ : root_ / dir, items);
  }

  platform::PlaceholderState StateOf(const fs::path& p) {
    platform::PlaceholderHandle h;
    platform::PlaceholderState s;
    EXPECT_TRUE(h.Open(p, false).ok()) << U8(p);
    EXPECT_TRUE(h.GetState(&s).ok());
    return s;
  }

  fs::path P(const std::string& utf8) { return root_ / platform::PathFromUtf8(utf8); }

  fs::path home_, root_;
  std::list<platform::ScopedEnv> env_;  // restored when the test ends
  platform::ConnectionKey key_ = 0;
  bool connected_ = false, registered_ = false, session_ = false;
};

TEST_F(ProviderTest, ConnectionsNeedTheRegisteredFolderAndAreOnePerFolder) {
  const fs::path plain = home_ / "plain";
  fs::create_directories(plain);
  platform::ConnectionKey key = 0;
  EXPECT_EQ(platform::ConnectSyncRoot(plain, {}, &key).hresult(), platform::kHrNotUnderSyncRoot);
  EXPECT_EQ(platform::DisconnectSyncRoot(12345).hresult(), platform::kHrInvalidKey);
  std::vector<platform::PlaceholderItem> items(1);
  items[0].relative_name = "a.txt";
  items[0].identity = "F:1";
  EXPECT_EQ(platform::CreatePlaceholders(plain, items).hresult(), platform::kHrNotUnderSyncRoot);
  EXPECT_EQ(items[0].result.hresult(), platform::kHrNotUnderSyncRoot);
  EXPECT_FALSE(fs::exists(plain / "a.txt"));

  ASSERT_TRUE(Connect({}).ok());
  EXPECT_EQ(platform::ConnectSyncRoot(root_, {}, &key).hresult(), platform::kHrAlreadyConnected);
  // Nothing is fetched, and a transfer for a fetch nobody asked for fails.
  EXPECT_FALSE(platform::TransferData(platform::TransferKey{key_, 999, 999},
                                      platform::kStatusSuccess, "x", 0, 1)
                   .ok());
  EXPECT_FALSE(platform::IsFetchActive(platform::TransferKey{key_, 999, 999}));
}

TEST_F(ProviderTest, BatchCreatesPlaceholdersWithNamesSizesIdentitiesAndAttributes) {
  FakeCloud cloud;
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  std::vector<platform::PlaceholderItem> items(5);
  items[0].relative_name = platform::PathFromUtf8("报告.txt");
  items[0].size = 123456;
  items[0].identity = "F:42";
  items[0].mark_in_sync = true;
  items[0].last_write_time = 133000000000000000LL;  // 2022-06-18
  items[1].relative_name = "folder";
  items[1].attributes = platform::kPlaceholderAttributeDirectory;
  items[1].identity = "D:7";
  items[1].mark_in_sync = true;
  items[2].relative_name = "shared.doc";
  items[2].size = 5;
  items[2].identity = "S:9";
  items[2].attributes = platform::kPlaceholderAttributeReadonly;
  items[3].relative_name = platform::PathFromUtf8("报告.txt");  // exists now: fails alone
  items[3].identity = "F:43";
  items[4].relative_name = platform::PathFromUtf8("../escape.txt");  // not one plain name
  items[4].identity = "F:44";
  const Status hr = platform::CreatePlaceholders(root_, items);
  EXPECT_FALSE(hr.ok());
  EXPECT_TRUE(items[0].result.ok());
  EXPECT_TRUE(items[1].result.ok());
  EXPECT_TRUE(items[2].result.ok());
  EXPECT_FALSE(items[3].result.ok());
  EXPECT_EQ(items[4].result.hresult(), platform::kHrInvalidArgument);
  EXPECT_FALSE(fs::exists(home_ / "escape.txt"));

  std::set<std::string> names;
  for (auto& e : fs::directory_iterator(root_)) names.insert(U8(e.path().filename()));
  EXPECT_EQ(names, (std::set<std::string>{"报告.txt", "folder", "shared.doc"}));
  EXPECT_EQ(fs::file_size(P("报告.txt")), 123456u);
  EXPECT_EQ(fs::file_size(P("shared.doc")), 5u);
  platform::PlaceholderState s = StateOf(P("报告.txt"));
  EXPECT_TRUE(s.is_placeholder);
  EXPECT_TRUE(s.in_sync);
  EXPECT_FALSE(s.hydrated);
  EXPECT_EQ(s.identity, "F:42");
  EXPECT_EQ(s.logical_size, 123456);
  s = StateOf(P("folder"));
  EXPECT_EQ(s.identity, "D:7");
  EXPECT_TRUE(s.hydrated);  // always for folders
  EXPECT_FALSE(StateOf(P("shared.doc")).in_sync);

  uint32_t a = 0;
  ASSERT_TRUE(platform::ReadFileAttributes(P("报告.txt"), &a).ok());
  EXPECT_TRUE(a & platform::kFileAttributeReparsePoint);
  EXPECT_FALSE(a & platform::kFileAttributeDirectory);
  ASSERT_TRUE(platform::ReadFileAttributes(P("folder"), &a).ok());
  EXPECT_TRUE(a & platform::kFileAttributeDirectory);
  ASSERT_TRUE(platform::ReadFileAttributes(P("shared.doc"), &a).ok());
  EXPECT_TRUE(a & platform::kFileAttributeReadonly);
  int64_t mtime = 0;
  ASSERT_TRUE(platform::ReadLastWriteTime(P("报告.txt"), &mtime).ok());
  EXPECT_EQ(mtime, 133000000000000000LL);
  EXPECT_EQ(cloud.fetches(), 0);  // listing and stat fetch nothing
}

TEST_F(ProviderTest, FirstReadHydratesTheWholeFileOnce) {
  FakeCloud cloud;
  const std::string small = "0123456789";
  const std::string big = Pattern((3 << 20) + 123, 7);  // the end is unaligned
  cloud.Put("F:small", small);
  cloud.Put("F:big", big);
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  ASSERT_TRUE(AddFile("small.txt", 10, "F:small").ok());
  ASSERT_TRUE(AddFile("big.bin", static_cast<int64_t>(big.size()), "F:big").ok());

  EXPECT_EQ(ReadAll(P("small.txt")), small);
  EXPECT_EQ(ReadAt(P("big.bin"), 1 << 20, 2 << 20), big.substr(1 << 20, 2 << 20));
  EXPECT_EQ(cloud.fetches(), 2);
  const auto infos = cloud.infos();
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(infos[0].path, P("small.txt"));
  EXPECT_EQ(infos[0].identity, "F:small");
  EXPECT_EQ(infos[0].file_size, 10);
  EXPECT_EQ(infos[0].pid, platform::CurrentProcessId());
  // The whole file, whatever was read: one download serves every reader.
  EXPECT_EQ(infos[1].required_offset, 0);
  EXPECT_EQ(infos[1].required_length, static_cast<int64_t>(big.size()));

  EXPECT_TRUE(StateOf(P("big.bin")).hydrated);
  EXPECT_TRUE(StateOf(P("big.bin")).in_sync);  // hydration is no local change
  int64_t mtime = 0;
  ASSERT_TRUE(platform::ReadLastWriteTime(P("big.bin"), &mtime).ok());
  EXPECT_EQ(mtime, 133000000000000000LL);
  EXPECT_EQ(ReadAll(P("big.bin")), big);
  EXPECT_EQ(cloud.fetches(), 2);  // later reads need no fetch
  Disconnect();
  EXPECT_EQ(ReadAll(P("big.bin")), big);  // the content stays when nobody serves it
}

TEST_F(ProviderTest, ConcurrentReadersShareOneFetchAndStreamBehindIt) {
  FakeCloud cloud;
  const std::string content = Pattern(4 << 20, 3);
  cloud.Put("F:1", content);
  cloud.SetPieceDelay(std::chrono::milliseconds(20));
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  ASSERT_TRUE(AddFile("a.bin", static_cast<int64_t>(content.size()), "F:1").ok());

  // The first 4 KiB is there long before the whole file is.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadAt(P("a.bin"), 0, 4096), content.substr(0, 4096));
  const auto first = std::chrono::steady_clock::now() - t0;
  std::string r1, r2;
  std::thread a([&] { r1 = ReadAll(P("a.bin")); });
  std::thread b([&] { r2 = ReadAll(P("a.bin")); });
  a.join();
  b.join();
  const auto all = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(r1, content);
  EXPECT_EQ(r2, content);
  EXPECT_EQ(cloud.fetches(), 1);
  EXPECT_LT(first * 2, all);  // 16 pieces of 20 ms: the head came after ~1
}

TEST_F(ProviderTest, FailedFetchFailsTheReadAndLeavesTheFileRemote) {
  FakeCloud cloud;
  const std::string content = Pattern(2 << 20, 5);
  cloud.Put("F:1", content);
  cloud.FailAfter(1 << 20);
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  ASSERT_TRUE(AddFile("a.bin", static_cast<int64_t>(content.size()), "F:1").ok());

  EXPECT_LT(ReadAt(P("a.bin"), (1 << 20) + 4096, 4096).size(), 4096u);
  EXPECT_FALSE(StateOf(P("a.bin")).hydrated);
  EXPECT_EQ(fs::file_size(P("a.bin")), content.size());

  // The next read starts a new fetch, which now succeeds.
  cloud.FailAfter(-1);
  const int failed_fetches = cloud.fetches();  // readahead may have retried too
  EXPECT_GE(failed_fetches, 1);
  EXPECT_EQ(ReadAll(P("a.bin")), content);
  EXPECT_EQ(cloud.fetches(), failed_fetches + 1);
  EXPECT_TRUE(StateOf(P("a.bin")).hydrated);
}

TEST_F(ProviderTest, WritingIntoARemoteFileFetchesItFirst) {
  FakeCloud cloud;
  cloud.Put("F:1", "abcdefghij");
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  ASSERT_TRUE(AddFile("a.txt", 10, "F:1").ok());
  ASSERT_TRUE(AddFile("b.txt", 10, "F:2").ok());
  {
    std::fstream f(P("a.txt"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(2);
    f << "XY";
  }
  EXPECT_EQ(ReadAll(P("a.txt")), "abXYefghij");
  { std::ofstream(P("b.txt"), std::ios::trunc | std::ios::binary) << "new"; }  // no fetch
  EXPECT_EQ(ReadAll(P("b.txt")), "new");
  EXPECT_EQ(cloud.fetches(), 1);
}

TEST_F(ProviderTest, DisconnectFailsAReadInFlight) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> fetching{false};
  Status late;  // written by the fetch, read once the reader has ended
  std::atomic<bool> active_after{true};
  platform::SyncRootCallbacks cb;
  cb.fetch_data = [&](const platform::FetchDataInfo& info) {
    fetching = true;
    std::unique_lock l(mu);
    cv.wait_for(l, std::chrono::seconds(20), [&] { return release; });
    active_after = platform::IsFetchActive(info.key);
    late = platform::TransferData(info.key, platform::kStatusSuccess, "x", 0, 1);
  };
  ASSERT_TRUE(Connect(cb).ok());
  ASSERT_TRUE(AddFile("a.txt", 1, "F:1").ok());
  std::string got = "unset";
  std::thread reader([&] { got = ReadAt(P("a.txt"), 0, 1); });
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
  EXPECT_EQ(got, "");  // the read failed
  EXPECT_FALSE(active_after.load());
  EXPECT_FALSE(late.ok());  // the fetch was gone
  EXPECT_FALSE(StateOf(P("a.txt")).hydrated);
}

TEST_F(ProviderTest, CompletionsCarryPathsIdentitiesAndPidAndComeInOrder) {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> events;
  std::vector<platform::ChangeInfo> closes;
  const uint32_t me = platform::CurrentProcessId();
  auto record = [&](const char* kind) {
    return [&, kind](const platform::ChangeInfo& i) {
      std::lock_guard l(mu);
      if (std::string(kind) == "close") {
        closes.push_back(i);
      } else {
        events.push_back(std::string(kind) + "|" + U8(i.path) + "|" + U8(i.source_path) + "|" +
                         i.identity + "|" + (i.is_directory ? "dir" : "file") + "|" +
                         (i.pid == me ? "me" : "other"));
      }
      cv.notify_all();
    };
  };
  platform::SyncRootCallbacks cb;
  cb.close_completion = record("close");
  cb.delete_completion = record("delete");
  cb.rename_completion = record("rename");
  ASSERT_TRUE(Connect(cb).ok());
  ASSERT_TRUE(AddFile("p.txt", 0, "F:5").ok());
  std::vector<platform::PlaceholderItem> dir(1);
  dir[0].relative_name = "d";
  dir[0].attributes = platform::kPlaceholderAttributeDirectory;
  dir[0].identity = "D:6";
  ASSERT_TRUE(platform::CreatePlaceholders(root_, dir).ok());

  // A new plain file, written and closed (Windows reports no close for a
  // file that is no placeholder: its provider watches for new files and
  // reports them once left alone, without a pid).
  { std::ofstream(P("new.txt"), std::ios::binary) << "hello"; }
  ReadAll(P("p.txt"));  // a read-only open reports nothing
  fs::rename(P("p.txt"), root_ / "d" / "q.txt");
  fs::remove(root_ / "d" / "q.txt");
  fs::remove(root_ / "d");
  // Each rename returns before the delete of the new name is issued, so its
  // completion must come first, however the provider's threads answer them.
  constexpr int kRounds = 100;
  for (int n = 0; n < kRounds; ++n) {
    const std::string name = "f" + std::to_string(n);
    ASSERT_TRUE(AddFile(name, 0, "F:" + std::to_string(100 + n)).ok());
    fs::rename(P(name), P(name + ".moved"));
    fs::remove(P(name + ".moved"));
  }

  const std::string r = U8(root_);
  const std::string sep = U8(fs::path("a") / "b").substr(1, 1);
  std::vector<std::string> want = {
      "rename|" + r + sep + "d" + sep + "q.txt|" + r + sep + "p.txt|F:5|file|me",
      "delete|" + r + sep + "d" + sep + "q.txt||F:5|file|me",
      "delete|" + r + sep + "d||D:6|dir|me",
  };
  for (int n = 0; n < kRounds; ++n) {
    const std::string moved = r + sep + "f" + std::to_string(n) + ".moved";
    const std::string id = "F:" + std::to_string(100 + n);
    want.push_back("rename|" + moved + "|" + r + sep + "f" + std::to_string(n) + "|" + id +
                   "|file|me");
    want.push_back("delete|" + moved + "||" + id + "|file|me");
  }
  std::unique_lock l(mu);
  cv.wait_for(l, std::chrono::seconds(15),
              [&] { return events.size() >= want.size() && !closes.empty(); });
  EXPECT_EQ(events, want);
  ASSERT_FALSE(closes.empty());
  for (const auto& c : closes) {
    EXPECT_EQ(c.path, P("new.txt"));
    EXPECT_EQ(c.identity, "");
    EXPECT_FALSE(c.is_directory);
    EXPECT_FALSE(c.deleted);
    EXPECT_TRUE(c.pid == me || c.pid == 0) << c.pid;
  }
}

TEST_F(ProviderTest, LocalChangesClearInSyncAndReadOnlyPlaceholdersRefuseWrites) {
  ASSERT_TRUE(Connect({}).ok());
  ASSERT_TRUE(AddFile("w.txt", 0, "F:1").ok());
  ASSERT_TRUE(AddFile("t.txt", 0, "F:2").ok());
  ASSERT_TRUE(AddFile("m.txt", 0, "F:3").ok());
  ASSERT_TRUE(AddFile("ro.txt", 0, "S:4", platform::kPlaceholderAttributeReadonly).ok());
  for (const char* n : {"w.txt", "t.txt", "m.txt"}) EXPECT_TRUE(StateOf(P(n)).in_sync) << n;

  { std::ofstream(P("w.txt"), std::ios::app | std::ios::binary) << "x"; }
  fs::resize_file(P("t.txt"), 3);
  ASSERT_TRUE(platform::WriteLastWriteTime(P("m.txt"), 134000000000000000LL).ok());
  for (const char* n : {"w.txt", "t.txt", "m.txt"}) EXPECT_FALSE(StateOf(P(n)).in_sync) << n;

  // Marking in sync again holds until the next change.
  {
    platform::PlaceholderHandle h;
    ASSERT_TRUE(h.Open(P("w.txt"), false).ok());
    EXPECT_TRUE(h.SetInSyncState(true).ok());
  }
  EXPECT_TRUE(StateOf(P("w.txt")).in_sync);

  EXPECT_FALSE(std::ofstream(P("ro.txt"), std::ios::app | std::ios::binary).is_open());
  std::error_code ec;
  fs::resize_file(P("ro.txt"), 0, ec);
  EXPECT_TRUE(ec);
  EXPECT_TRUE(std::ifstream(P("ro.txt"), std::ios::binary).is_open());
}

TEST_F(ProviderTest, ConvertUpdateRepointAndInSyncOfLocalItems) {
  FakeCloud cloud;
  cloud.Put("F:new", "the new version");
  ASSERT_TRUE(Connect(cloud.Callbacks()).ok());
  { std::ofstream(P("local.txt"), std::ios::binary) << "content"; }
  fs::create_directories(P("dir"));
  platform::PlaceholderHandle h;
  ASSERT_TRUE(h.Open(P("local.txt"), true).ok());
  platform::PlaceholderState s;
  ASSERT_TRUE(h.GetState(&s).ok());
  EXPECT_FALSE(s.is_placeholder);
  EXPECT_EQ(h.UpdateIdentity("F:1", true).hresult(), platform::kHrNotACloudFile);
  EXPECT_EQ(h.SetInSyncState(true).hresult(), platform::kHrNotACloudFile);
  EXPECT_TRUE(h.ConvertToPlaceholder("P:123", false).ok());
  ASSERT_TRUE(h.GetState(&s).ok());
  EXPECT_TRUE(s.is_placeholder);
  EXPECT_TRUE(s.hydrated);
  EXPECT_FALSE(s.in_sync);
  EXPECT_TRUE(h.UpdateIdentity("F:99", true).ok());
  ASSERT_TRUE(h.GetState(&s).ok());
  EXPECT_EQ(s.identity, "F:99");
  EXPECT_TRUE(s.in_sync);
  // Re-pointed at another server file: its size shows at once, its content
  // is fetched on the next read.
  EXPECT_TRUE(h.Repoint("F:new", 15).ok());
  h.Close();
  s = StateOf(P("local.txt"));
  EXPECT_EQ(s.identity, "F:new");
  EXPECT_FALSE(s.hydrated);
  EXPECT_TRUE(s.in_sync);
  EXPECT_EQ(fs::file_size(P("local.txt")), 15u);
  EXPECT_EQ(ReadAll(P("local.txt")), "the new version");
  EXPECT_EQ(cloud.fetches(), 1);

  ASSERT_TRUE(h.Open(P("dir"), false).ok());
  EXPECT_TRUE(h.ConvertToPlaceholder("D:5", true).ok());
  EXPECT_EQ(h.Repoint("F:x", 1).hresult(), platform::kHrInvalidArgument);  // not for folders
  h.Close();
  EXPECT_EQ(StateOf(P("dir")).identity, "D:5");

  const platform::Status missing = h.Open(P("missing"), false);
  EXPECT_EQ(missing.os_error(), 2u);  // ENOENT / ERROR_FILE_NOT_FOUND
  EXPECT_NE(missing.context().find(U8(P("missing"))), std::string::npos) << missing.context();
  // Outside the sync root nothing becomes a placeholder.
  { std::ofstream(home_ / "outside.txt", std::ios::binary) << "x"; }
  ASSERT_TRUE(h.Open(home_ / "outside.txt", true).ok());
  EXPECT_EQ(h.ConvertToPlaceholder("F:1", true).hresult(), platform::kHrNotUnderSyncRoot);
}

}  // namespace
}  // namespace zem::testing

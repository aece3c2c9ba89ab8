// The poll cycle end to end: corvane against zemd through the FUSE folder,
// changes made on the service (admin interface) and in the folder (plain
// file calls), checked on the other side and in the service's request log.
#include <gtest/gtest.h>

#include <future>
#include <set>

#include "platform/cloud_files.h"
#include "platform/sha256.h"
#include "tests/e2e/e2e_fixture.h"

namespace zem {
namespace {
using testing::AgentFixture;
using testing::CountOf;
using testing::ReadAll;
using testing::Utf8Path;
using testing::WriteAll;
namespace fs = std::filesystem;

class PollEndToEnd : public AgentFixture {
 protected:
  bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
  }
  // Ids sent to file/recycle since `since`.
  std::set<std::string> RecycledIds(uint64_t since = 0) {
    std::set<std::string> ids;
    for (const auto& r : zemd_.Requests(since)) {
      if (r.path.find("file/recycle") == std::string::npos) continue;
      const size_t at = r.body.find("\"id\":\"");
      if (at != std::string::npos) ids.insert(r.body.substr(at + 6, r.body.find('"', at + 6) - at - 6));
    }
    return ids;
  }
};

// An old top-level layout made by populate moves into 我的文档 once; from
// then on changes on the web show in the folder and local changes reach
// the service, and an idle cycle downloads and hashes nothing.
TEST_F(PollEndToEnd, FolderAndServiceFollowEachOther) {
  const std::string docs = zemd_.CreateFolder("0", "docs");
  const std::string a = zemd_.CreateFile(docs, "a.txt", "alpha");
  const std::string b = zemd_.CreateFile(docs, "b.txt", "bravo");
  const std::string r = zemd_.CreateFile("0", "r.txt", "root file");
  const std::string e = zemd_.CreateFile("0", "edit.txt", "before");
  ASSERT_FALSE(docs.empty() || a.empty() || b.empty() || r.empty() || e.empty());
  Run("populate", {});
  ASSERT_TRUE(Exists(Root() / "docs" / "a.txt"));

  StartAgent();
  // Migration: the top level holds the five roots only.
  std::set<std::string> top;
  for (const auto& entry : fs::directory_iterator(Root())) {
    const auto u8 = entry.path().filename().u8string();
    top.insert(std::string(u8.begin(), u8.end()));
  }
  EXPECT_EQ(top, (std::set<std::string>{"我的文档", "共享给我", "团队空间", "公司公共", "ZEM 回收站"}));
  EXPECT_NE(Log().find("[MIGRATE] docs -> 我的文档/"), std::string::npos) << Log();
  EXPECT_EQ(ReadAll(Docs("docs/a.txt")), "alpha");

  // Idle cycles: one listing per folder, nothing downloaded or hashed.
  WaitCycles(1);
  const uint64_t idle_start = LastRequestSeq();
  const size_t hydrations = CountOf(Log(), "[HYDRATE]");
  WaitCycles(2);
  EXPECT_EQ(CountRequests("file/download", idle_start), 0);
  EXPECT_EQ(CountRequests("file/upload-simple", idle_start), 0);
  EXPECT_EQ(CountOf(Log(), "[HYDRATE]"), hydrations);
  EXPECT_NE(Log().find("[SYNC] cycle: 2 folders listed, 0 files hashed, 0 uploads"),
            std::string::npos);

  // Web: add, rename, move, recycle, new version.
  const std::string n = zemd_.CreateFile(docs, "new.txt", "from the web");
  ASSERT_TRUE(zemd_.Rename(a, "a-renamed.txt"));
  ASSERT_TRUE(zemd_.Move(b, "0"));
  ASSERT_TRUE(zemd_.Recycle(r));
  EXPECT_TRUE(Eventually([&] { return ReadAll(Docs("docs/new.txt")) == "from the web"; })) << Log();
  EXPECT_TRUE(Eventually([&] { return Exists(Docs("docs/a-renamed.txt")) && !Exists(Docs("docs/a.txt")); }));
  EXPECT_EQ(ReadAll(Docs("docs/a-renamed.txt")), "alpha");  // hydrated content moved along
  EXPECT_TRUE(Eventually([&] { return Exists(Docs("b.txt")) && !Exists(Docs("docs/b.txt")); }));
  EXPECT_TRUE(Eventually([&] { return !Exists(Docs("r.txt")); }));
  EXPECT_TRUE(Eventually([&] { return Exists(Root() / Utf8Path("ZEM 回收站/r.txt")); }));
  // Following the web (placeholders created, moved, re-pointed and deleted
  // by the agent itself) sent nothing back to the service.
  EXPECT_EQ(RecycledIds(), std::set<std::string>{});
  EXPECT_EQ(CountRequests("file/rename"), 0);
  EXPECT_EQ(CountRequests("file/upload-simple"), 0);

  ASSERT_EQ(ReadAll(Docs("edit.txt")), "before");  // hydrated, in sync
  const std::string e2 = zemd_.CreateFile("0", "edit.txt", "after, from the web");
  ASSERT_TRUE(zemd_.Recycle(e));
  EXPECT_TRUE(Eventually([&] { return ReadAll(Docs("edit.txt")) == "after, from the web"; }))
      << Log();

  // Local: add, edit, delete.
  WriteAll(Docs("docs/local.txt"), "made here");
  EXPECT_TRUE(Eventually([&] { return ServiceFile(zemd_.GetTree(), docs, "local.txt") != nullptr; }))
      << Log();
  WaitCycles(1);
  WriteAll(Docs("docs/new.txt"), "edited here");
  EXPECT_TRUE(Eventually([&] {
    const auto tree = zemd_.GetTree();
    const auto* f = ServiceFile(tree, docs, "new.txt");
    return f && f->id != n;
  })) << Log();
  EXPECT_EQ(RecycledIds().count(n), 1u);  // the old version
  fs::remove(Docs("docs/a-renamed.txt"));
  EXPECT_TRUE(Eventually([&] { return RecycledIds().count(a) == 1; })) << Log();

  // A restart with the saved state repeats nothing.
  EXPECT_EQ(StopAgent(), 0);
  const uint64_t before_restart = LastRequestSeq();
  StartAgent();
  WaitCycles(2);
  EXPECT_EQ(CountRequests("file/upload-simple", before_restart), 0) << Log();
  EXPECT_EQ(CountRequests("file/recycle", before_restart), 0) << Log();
  EXPECT_EQ(CountRequests("file/download", before_restart), 0) << Log();
  EXPECT_EQ(ReadAll(Docs("docs/new.txt")), "edited here");
}

// Nothing the service does not hold is deleted: a local file in a folder
// deleted on the web stays (with its folder), a pending upload survives an
// outage and goes up later, and a local edit whose server file was
// recycled is uploaded as a new file.
TEST_F(PollEndToEnd, LocalWorkSurvivesServiceDeletesAndOutages) {
  const std::string proj = zemd_.CreateFolder("0", "proj");
  const std::string p1 = zemd_.CreateFile(proj, "p1.txt", "one");
  const std::string kept = zemd_.CreateFile("0", "kept.txt", "version 1");
  StartAgent();
  ASSERT_EQ(ReadAll(Docs("proj/p1.txt")), "one");
  ASSERT_EQ(ReadAll(Docs("kept.txt")), "version 1");

  // Outage for uploads: the new file stays pending, then goes up.
  testing::FaultRule fault;
  fault.path = "/zem/api/cloud-disk/file/upload-simple";
  fault.kind = "status";
  fault.status = 503;
  // Four for the real-time worker, which tries the new file first, and
  // five for the poll cycle.
  fault.count = 9;
  ASSERT_TRUE(zemd_.InjectFault(fault));
  WriteAll(Docs("proj/mine.txt"), "not on the service yet");
  // A plain folder of the user's own and an edit, then the web deletes
  // the folder and recycles the edited file.
  fs::create_directory(Docs("proj/own"));
  WriteAll(Docs("proj/own/notes.txt"), "my notes");
  WriteAll(Docs("kept.txt"), "version 2, local");
  ASSERT_TRUE(zemd_.Recycle(kept));
  WaitForLog("[RETRY-GIVEUP] upload failed after 4 attempts");
  ASSERT_TRUE(zemd_.Delete(proj));
  WaitCycles(2);

  // The folder stays with what the service never had; the mirrored file
  // inside is gone; the log says why.
  EXPECT_FALSE(Exists(Docs("proj/p1.txt")));
  EXPECT_EQ(ReadAll(Docs("proj/mine.txt")), "not on the service yet");
  EXPECT_EQ(ReadAll(Docs("proj/own/notes.txt")), "my notes");
  EXPECT_NE(Log().find("[SVR-DEL-KEEP]"), std::string::npos) << Log();
  // The edit of the recycled file went up as a new file.
  EXPECT_TRUE(Eventually([&] { return ServiceFile(zemd_.GetTree(), "0", "kept.txt") != nullptr; }))
      << Log();
  const auto tree = zemd_.GetTree();
  const auto* k = ServiceFile(tree, "0", "kept.txt");
  ASSERT_NE(k, nullptr);
  EXPECT_NE(k->id, kept);
  EXPECT_EQ(ReadAll(Docs("kept.txt")), "version 2, local");
  EXPECT_EQ(RecycledIds(), std::set<std::string>{});
  (void)p1;
}

// A local edit and a new version on the web at the same time: both
// survive, the web one under the name, the local one as a conflict copy.
TEST_F(PollEndToEnd, ConflictKeepsBothVersions) {
  const std::string c = zemd_.CreateFile("0", "c.txt", "base");
  StartAgent();
  ASSERT_EQ(ReadAll(Docs("c.txt")), "base");
  // Listings fail for a while, so the edit and the new version meet in one cycle.
  testing::FaultRule fault;
  fault.path = "/zem/api/cloud-disk/folder/list";
  fault.kind = "status";
  fault.status = 500;
  fault.count = 1000;
  ASSERT_TRUE(zemd_.InjectFault(fault));
  WaitForLog("[RETRY] folder-list");
  WriteAll(Docs("c.txt"), "local edit");
  ASSERT_FALSE(zemd_.CreateFile("0", "c.txt", "web version").empty());
  ASSERT_TRUE(zemd_.Recycle(c));
  ASSERT_TRUE(zemd_.ClearFaults());
  EXPECT_TRUE(Eventually([&] { return ReadAll(Docs("c.txt")) == "web version"; }, 40)) << Log();
  EXPECT_EQ(ReadAll(Docs("c (冲突副本).txt")), "local edit");
  EXPECT_TRUE(Eventually([&] {
    return ServiceFile(zemd_.GetTree(), "0", "c (冲突副本).txt") != nullptr;
  })) << Log();
  EXPECT_NE(Log().find("[CONFLICT] c.txt"), std::string::npos);
}

// The read-only views mirror what is shared with the user and the recycle
// bin; the user's own file there is never touched.
TEST_F(PollEndToEnd, SharedAndRecycleViews) {
  ASSERT_FALSE(zemd_.CreateUser("bob").empty());
  const std::string s = zemd_.CreateFile("0", "from-bob.txt", "shared bytes", "bob");
  ASSERT_TRUE(zemd_.Share(s, "alice"));
  const std::string gone = zemd_.CreateFile("0", "gone.txt", "in the bin");
  ASSERT_TRUE(zemd_.Recycle(gone));
  StartAgent();
  const fs::path shared = Root() / Utf8Path("共享给我");
  const fs::path bin = Root() / Utf8Path("ZEM 回收站");
  EXPECT_EQ(ReadAll(shared / "from-bob.txt"), "shared bytes");
  EXPECT_EQ(ReadAll(bin / "gone.txt"), "in the bin");
  std::ofstream(shared / "from-bob.txt", std::ios::app) << "x";  // read-only: refused
  EXPECT_EQ(ReadAll(shared / "from-bob.txt"), "shared bytes");
  WriteAll(shared / "mine.txt", "my own");

  ASSERT_TRUE(zemd_.Admin("POST", "/admin/shares/remove",
                          "{\"id\":\"" + s + "\",\"to\":\"alice\"}").ok());
  ASSERT_TRUE(zemd_.Restore(gone));
  EXPECT_TRUE(Eventually([&] { return !Exists(shared / "from-bob.txt"); })) << Log();
  EXPECT_TRUE(Eventually([&] { return !Exists(bin / "gone.txt"); })) << Log();
  EXPECT_TRUE(Eventually([&] { return ReadAll(Docs("gone.txt")) == "in the bin"; })) << Log();
  EXPECT_EQ(ReadAll(shared / "mine.txt"), "my own");
  EXPECT_EQ(CountRequests("file/upload-simple"), 0);
}

// kill -9 while an upload is on the wire: after the restart every local
// byte is in the folder and on the service exactly once.
TEST_F(PollEndToEnd, KillDuringUploadLosesNothingAndUploadsOnce) {
  const std::string m = zemd_.CreateFile("0", "m.txt", "v1");
  StartAgent();
  ASSERT_EQ(ReadAll(Docs("m.txt")), "v1");
  testing::FaultRule slow;
  slow.path = "/zem/api/cloud-disk/file/upload-simple";
  slow.kind = "delay";
  slow.delay_ms = 4000;
  slow.count = 4;
  ASSERT_TRUE(zemd_.InjectFault(slow));
  WriteAll(Docs("m.txt"), "v2 local");
  WriteAll(Docs("n.txt"), "new local");
  EXPECT_TRUE(Eventually([&] { return CountRequests("file/upload-simple") > 0; }, 30)) << Log();
  KillAgent();
  ASSERT_TRUE(zemd_.ClearFaults());
  // An upload whose body was sent before the kill is stored once zemd's
  // delay ends, whoever waits for the answer: the restart must see it
  // (and adopt it) rather than race it.
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));

  StartAgent();
  const auto one_copy = [&](const std::string& name, const std::string& content) {
    int live = 0;
    bool same = false;
    const auto tree = zemd_.GetTree();
    for (const auto& f : tree.files) {
      if (f.folder_id != "0" || f.name != name || f.status != 1) continue;
      ++live;
      same = f.sha256 == platform::Sha256HexOf(content);
    }
    return live == 1 && same;
  };
  EXPECT_TRUE(Eventually([&] { return one_copy("m.txt", "v2 local") && one_copy("n.txt", "new local"); },
                         40))
      << Log();
  WaitCycles(2);
  EXPECT_TRUE(one_copy("m.txt", "v2 local"));
  EXPECT_TRUE(one_copy("n.txt", "new local"));
  EXPECT_EQ(ReadAll(Docs("m.txt")), "v2 local");
  EXPECT_EQ(ReadAll(Docs("n.txt")), "new local");
  (void)m;
}

// Renames, moves and edits made while the agent was not running reach the
// service as renames, moves and new versions when it starts: nothing is taken
// for a deletion in one folder and for an item gone from the service in the
// other, and no edit is hidden behind its old in-sync mark.
TEST_F(PollEndToEnd, ChangesMadeWhileStoppedAreMovesNotDeletions) {
  const std::string other = zemd_.CreateFolder("0", "other");
  const std::string proj = zemd_.CreateFolder("0", "proj");
  const std::string a = zemd_.CreateFile("0", "a.txt", "alpha");
  const std::string b = zemd_.CreateFile(proj, "b.txt", "bravo");
  const std::string c = zemd_.CreateFile("0", "c.txt", "charlie");
  const std::string d = zemd_.CreateFile("0", "d.txt", "delta");
  StartAgent();
  ASSERT_EQ(ReadAll(Docs("proj/b.txt")), "bravo");  // hydrated, as is d.txt
  ASSERT_EQ(ReadAll(Docs("d.txt")), "delta");
  ASSERT_EQ(StopAgent(), 0);

  // Unmounted: the folder holds the placeholders themselves.
  fs::rename(Docs("a.txt"), Docs("a2.txt"));
  fs::rename(Docs("proj/b.txt"), Docs("other/b.txt"));
  fs::create_directory(Docs("own"));
  fs::rename(Docs("c.txt"), Docs("own/c.txt"));
  WriteAll(Docs("d.txt"), "delta, edited while the agent was stopped");
  const uint64_t since = LastRequestSeq();
  StartAgent();
  const auto live_in = [&](const std::string& folder, const std::string& name) {
    const auto tree = zemd_.GetTree();
    const auto* f = ServiceFile(tree, folder, name);
    return f ? f->id : std::string();
  };
  EXPECT_TRUE(Eventually([&] { return !live_in(other, "b.txt").empty(); }, 30)) << Log();
  // The edit of a file that was in sync goes up as a new version.
  EXPECT_TRUE(Eventually([&] { return live_in("0", "d.txt") != d && !live_in("0", "d.txt").empty(); },
                         30))
      << Log();
  WaitCycles(2);
  EXPECT_EQ(live_in("0", "a2.txt"), a);  // a rename keeps the id
  EXPECT_TRUE(live_in("0", "a.txt").empty());
  EXPECT_TRUE(live_in(proj, "b.txt").empty());
  EXPECT_EQ(live_in("0", "c.txt"), c);  // the service keeps what went to a folder of our own
  // Only the moved file's old id went to the recycle bin, after its copy.
  EXPECT_EQ(RecycledIds(since), (std::set<std::string>{b, d})) << Log();
  EXPECT_EQ(ReadAll(Docs("d.txt")), "delta, edited while the agent was stopped");
  EXPECT_EQ(ReadAll(Docs("a2.txt")), "alpha");
  EXPECT_EQ(ReadAll(Docs("other/b.txt")), "bravo");
  EXPECT_FALSE(Exists(Docs("a.txt")));
  EXPECT_FALSE(Exists(Docs("proj/b.txt")));
  EXPECT_EQ(CountOf(Log(), "[MOVE-FOUND]"), 2u) << Log();

  // The file in the folder of our own became the user's copy: its content
  // was fetched and it is out of sync, so it stays readable after the web
  // recycles the service's copy.
  WaitForLog("[RT-LOCAL-COPY] " + Docs("own/c.txt").string());
  ASSERT_TRUE(zemd_.Recycle(c));
  WaitCycles(2);
  EXPECT_EQ(ReadAll(Docs("own/c.txt")), "charlie");
  platform::PlaceholderHandle handle;
  platform::PlaceholderState state;
  ASSERT_TRUE(handle.Open(Docs("own/c.txt"), false).ok());
  ASSERT_TRUE(handle.GetState(&state).ok());
  EXPECT_TRUE(state.hydrated);
  EXPECT_FALSE(state.in_sync);
}

// A service that sends part of a file and then nothing: the reader waits,
// but a stop ends the fetch within seconds and the reader gets an error
// instead of hanging; nothing partial is kept as the file.
TEST_F(PollEndToEnd, StalledDownloadEndsWithTheStop) {
  const std::string big = std::string(3 << 20, 'x');
  ASSERT_FALSE(zemd_.CreateFile("0", "big.bin", big).empty());
  StartAgent();
  testing::FaultRule stall;
  stall.path = "/zem/api/cloud-disk/file/download";
  stall.kind = "stall";
  stall.after_bytes = 100000;
  stall.count = 10;
  ASSERT_TRUE(zemd_.InjectFault(stall)) << zemd_.last_admin_error();
  // True when the read failed, as it must: never a short file taken as whole.
  auto reader = std::async(std::launch::async, [&] {
    try {
      std::ifstream in(Docs("big.bin"), std::ios::binary);
      std::string got((std::istreambuf_iterator<char>(in)), {});
      return in.bad() || got.size() != big.size();
    } catch (const std::exception&) {  // the stream reports the read error
      return true;
    }
  });
  WaitForLog("[HYDRATE] file=");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(StopAgent(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << Log();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(reader.get());
  ASSERT_TRUE(zemd_.ClearFaults());
  StartAgent();
  EXPECT_EQ(ReadAll(Docs("big.bin")), big);  // fetched again, whole
}

}  // namespace
}  // namespace zem

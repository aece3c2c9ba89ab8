#include "sync/poll/diff_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "client/retry.h"
#include "common/output.h"
#include "platform/file_attributes.h"
#include "platform/known_folders.h"
#include "platform/process.h"
#include "platform/text.h"
#include "sync/identity.h"
#include "sync/poll/folder_id_map.h"
#include "sync/realtime/change_handlers.h"
#include "sync/realtime/upload_queue.h"
#include "sync/realtime/upload_worker.h"
#include "sync/state/known_files.h"
#include "sync/virtual_roots.h"
#include "tests/support/memory_provider.h"
#include "tests/support/scripted_service.h"
#include "tests/support/test_hooks.h"
#include "tests/support/user_change.h"

namespace zem {
namespace {
namespace fs = std::filesystem;

// The poll cycle and the upload workers against a scripted service and an
// in-memory provider over a plain folder: no mount, no zemd.
class EngineOnFakes : public ::testing::Test {
 protected:
  EngineOnFakes()
      : root_(platform::TempFolder() / ("zem-engine-" + std::to_string(std::random_device{}()))),
        docs_(DocumentsRoot(root_)) {
    fs::create_directories(docs_);
    ResetAll();
    SetRealtimeSyncRoot(root_);
    SetFolderId(docs_, "0");
    ProviderHandle root;
    EXPECT_TRUE(root.Open(docs_, false).ok());
    EXPECT_TRUE(root.ConvertToPlaceholder(VirtualRootIdentity(kDocumentsRootName), true).ok());
  }
  ~EngineOnFakes() override {
    ResetAll();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  static void ResetAll() {
    ResetUploadQueueForTest();
    ResetChangeHandlersForTest();
    ResetKnownFilesForTest();
    ResetFolderIdMapForTest();
    ResetDirtyCacheForTest();
  }

  void Cycle() {
    PollCounters counters;
    DiffDir(docs_, "0", &counters);
    RecycleUserDeletions(&counters);
    RemoveItemsGoneFromService(&counters);
  }
  // The queued tasks, run by a worker as the agent runs them.
  static void RunQueuedTasks() {
    StartUploadWorkers(1);
    StopUploadWorkers();
    ResetUploadQueueForTest();
  }
  // A write the cycle takes up at once: older than the settle time.
  static void WriteSettled(const fs::path& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
    platform::WriteLastWriteTime(p, platform::CurrentFileTime() - 600'000'000);  // 60 s ago
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string IdentityAt(const fs::path& p) {
    const auto s = provider_.StateOf(p);
    return s ? s->identity : "";
  }
  // The calls that change something on the service.
  std::vector<std::string> Changes() const {
    std::vector<std::string> out;
    for (const std::string& c : service_.Calls()) {
      if (c.rfind("list ", 0) != 0) out.push_back(c);
    }
    return out;
  }
  static platform::ChangeInfo Change(const fs::path& path, std::string identity = "",
                                     const fs::path& source = {}) {
    return testing::UserChange(path, std::move(identity), source);
  }

  fs::path root_, docs_;
  zem::testing::ScriptedService service_;
  zem::testing::MemoryProvider provider_;
  ScopedEngineSeamsForTest seams_{service_, provider_};
  std::vector<int64_t> waits_;
  ScopedRetrySleeper sleeper_{
      [this](std::chrono::milliseconds ms) { waits_.push_back(ms.count()); }};
  ScopedOutputCapture capture_;
};

using Calls = std::vector<std::string>;

TEST_F(EngineOnFakes, PollCycleFollowsTheServiceByIdAndKeepsLocalWork) {
  const std::string a = service_.AddFile("0", "a.txt", "alpha");
  const std::string sub = service_.AddFolder("0", "sub");
  const std::string b = service_.AddFile(sub, "b.txt", "beta");
  const std::string c = service_.AddFile("0", "c.txt", "gamma");
  const std::string e = service_.AddFile("0", "e.txt", "epsilon");
  Cycle();
  auto s = provider_.StateOf(docs_ / "a.txt");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->identity, "F:" + a);
  EXPECT_TRUE(s->in_sync);
  EXPECT_FALSE(s->hydrated) << "the cycle never fetches content";
  EXPECT_EQ(s->logical_size, 5);
  EXPECT_EQ(IdentityAt(docs_ / "sub"), "D:" + sub);
  EXPECT_EQ(IdentityAt(docs_ / "sub" / "b.txt"), "F:" + b);
  EXPECT_EQ(Changes(), Calls{});

  // Renamed and moved on the web, deleted on the web, a new local file, and
  // a local edit of a file the web deleted.
  service_.RenameOnWeb(a, "a2.txt");
  service_.MoveOnWeb(b, "0");
  service_.RecycleOnWeb(c);
  service_.RecycleOnWeb(e);
  WriteSettled(docs_ / "new.txt", "fresh");
  WriteSettled(docs_ / "e.txt", "edited here");
  service_.ClearCalls();
  Cycle();
  EXPECT_EQ(IdentityAt(docs_ / "a2.txt"), "F:" + a) << "followed by id";
  EXPECT_EQ(IdentityAt(docs_ / "b.txt"), "F:" + b);
  EXPECT_FALSE(fs::exists(docs_ / "a.txt"));
  EXPECT_FALSE(fs::exists(docs_ / "sub" / "b.txt"));
  EXPECT_FALSE(fs::exists(docs_ / "c.txt")) << "in sync and gone from the service";
  EXPECT_EQ(Read(docs_ / "e.txt"), "edited here") << "a local edit is never removed";
  EXPECT_EQ(Changes(), (Calls{"upload 0 new.txt", "upload 0 e.txt"}));
  const auto up = service_.FindFile("0", "new.txt");
  ASSERT_TRUE(up);
  EXPECT_EQ(up->content, "fresh");
  s = provider_.StateOf(docs_ / "new.txt");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->identity, "F:" + up->id);
  EXPECT_TRUE(s->in_sync);
  const auto kept = service_.FindFile("0", "e.txt");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->content, "edited here");
  EXPECT_EQ(IdentityAt(docs_ / "e.txt"), "F:" + kept->id);
  EXPECT_EQ(KnownFilePath(a), docs_ / "a2.txt");

  service_.ClearCalls();
  Cycle();
  EXPECT_EQ(Changes(), Calls{}) << "nothing goes up twice";

  // Moved on the web into a folder the cycle walks later: followed there,
  // local content and all, not removed first and created again.
  const std::string x = service_.AddFolder("0", "x");
  service_.AddFile(x, "in-x.txt", "inside");
  Cycle();
  ASSERT_EQ(IdentityAt(docs_ / "x"), "D:" + x);
  service_.MoveOnWeb(up->id, sub);
  service_.MoveOnWeb(x, sub);
  service_.ClearCalls();
  const size_t before = capture_.out().size();
  Cycle();
  EXPECT_EQ(Read(docs_ / "sub" / "new.txt"), "fresh");
  EXPECT_TRUE(provider_.StateOf(docs_ / "sub" / "new.txt")->hydrated);
  EXPECT_EQ(IdentityAt(docs_ / "sub" / "x" / "in-x.txt").substr(0, 2), "F:");
  EXPECT_FALSE(fs::exists(docs_ / "new.txt"));
  EXPECT_FALSE(fs::exists(docs_ / "x"));
  service_.MoveOnWeb(up->id, "0");  // and back into the folder walked first
  Cycle();
  EXPECT_EQ(Read(docs_ / "new.txt"), "fresh");
  const std::string out = capture_.out().substr(before);
  EXPECT_EQ(out.find("[SVR-DEL]"), std::string::npos) << out;
  EXPECT_EQ(out.find("[MOVE-FOUND]"), std::string::npos) << out;
  EXPECT_EQ(Changes(), Calls{}) << "nothing is uploaded or recycled for a move on the web";

  // A local edit is a new upload plus a recycle of the old version; a local
  // delete recycles the file at the end of the cycle.
  WriteSettled(docs_ / "a2.txt", "alpha v2");
  fs::remove(docs_ / "b.txt");
  service_.ClearCalls();
  Cycle();
  const auto v2 = service_.FindFile("0", "a2.txt");
  ASSERT_TRUE(v2);
  EXPECT_EQ(v2->content, "alpha v2");
  EXPECT_EQ(Changes(), (Calls{"upload 0 a2.txt", "recycle " + a, "recycle " + b}));
  EXPECT_EQ(IdentityAt(docs_ / "a2.txt"), "F:" + v2->id);
  EXPECT_TRUE(provider_.StateOf(docs_ / "a2.txt")->in_sync);

  // New versions on the web: an in-sync file is re-pointed (its local copy
  // dropped), a locally edited one is kept as a conflict copy and uploaded.
  service_.RecycleOnWeb(up->id);
  const std::string n2 = service_.AddFile("0", "new.txt", "fresh v2");
  service_.RecycleOnWeb(kept->id);
  const std::string e3 = service_.AddFile("0", "e.txt", "web edit");
  WriteSettled(docs_ / "e.txt", "mine");
  service_.ClearCalls();
  Cycle();
  s = provider_.StateOf(docs_ / "new.txt");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->identity, "F:" + n2);
  EXPECT_FALSE(s->hydrated);
  EXPECT_EQ(s->logical_size, 8);
  const fs::path copy = docs_ / platform::PathFromUtf8("e (冲突副本).txt");
  EXPECT_EQ(Read(copy), "mine");
  EXPECT_EQ(IdentityAt(docs_ / "e.txt"), "F:" + e3);
  EXPECT_EQ(Changes(), Calls{"upload 0 e (冲突副本).txt"});
  const auto mine = service_.FindFile("0", "e (冲突副本).txt");
  ASSERT_TRUE(mine);
  EXPECT_EQ(mine->content, "mine");

  // Renamed on the web to a name taken here, while edited here: the rename
  // cannot be followed, but the edit still goes up under the local name.
  WriteSettled(docs_ / "a2.txt", "alpha v3");
  service_.RenameOnWeb(v2->id, "new.txt");
  service_.ClearCalls();
  Cycle();
  const auto v3 = service_.FindFile("0", "a2.txt");
  ASSERT_TRUE(v3);
  EXPECT_EQ(v3->content, "alpha v3");
  EXPECT_EQ(IdentityAt(docs_ / "a2.txt"), "F:" + v3->id);
  EXPECT_EQ(IdentityAt(docs_ / "new.txt"), "F:" + n2) << "the other file stays as it is";
  // The same while the web put another file under the local name: the edit
  // is kept as a conflict copy.
  WriteSettled(docs_ / "a2.txt", "alpha v4");
  service_.RenameOnWeb(v3->id, "new.txt");
  const std::string web_a2 = service_.AddFile("0", "a2.txt", "web a2");
  Cycle();
  const auto v4 = service_.FindFile("0", "a2 (冲突副本).txt");
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->content, "alpha v4");
  EXPECT_EQ(IdentityAt(docs_ / "a2.txt"), "F:" + web_a2);

  // Two files renamed on the web to one name: one follows, the other is
  // never moved over it.
  const std::string p = service_.AddFile("0", "p.txt", "pp");
  const std::string q = service_.AddFile("0", "q.txt", "qq");
  Cycle();
  service_.RenameOnWeb(p, "same.txt");
  service_.RenameOnWeb(q, "same.txt");
  service_.ClearCalls();
  Cycle();
  Cycle();
  const std::string at_same = IdentityAt(docs_ / "same.txt");
  EXPECT_TRUE(at_same == "F:" + p || at_same == "F:" + q) << at_same;
  EXPECT_EQ(IdentityAt(docs_ / (at_same == "F:" + p ? "q.txt" : "p.txt")),
            at_same == "F:" + p ? "F:" + q : "F:" + p);
  EXPECT_EQ(Changes(), Calls{});
}

TEST_F(EngineOnFakes, FailedUploadsStayPendingAndGoUpOnceLater) {
  // The poll cycle: every attempt fails. A new file stays a pending upload;
  // an edit of a file the service no longer lists stays as it is.
  const std::string f = service_.AddFile("0", "f.txt", "first");
  Cycle();
  service_.RecycleOnWeb(f);
  WriteSettled(docs_ / "f.txt", "changed here");
  WriteSettled(docs_ / "p.txt", "pending");
  service_.FailNext("upload", 8);
  Cycle();
  auto s = provider_.StateOf(docs_ / "p.txt");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->identity.substr(0, 2), "P:");
  EXPECT_FALSE(s->in_sync);
  EXPECT_EQ(Read(docs_ / "f.txt"), "changed here");
  EXPECT_FALSE(service_.FindFile("0", "p.txt"));
  EXPECT_EQ(waits_, (std::vector<int64_t>{1000, 2000, 4000, 1000, 2000, 4000}));
  Cycle();
  const auto p = service_.FindFile("0", "p.txt");
  ASSERT_TRUE(p);
  EXPECT_EQ(IdentityAt(docs_ / "p.txt"), "F:" + p->id);
  const auto f2 = service_.FindFile("0", "f.txt");
  ASSERT_TRUE(f2);
  EXPECT_EQ(f2->content, "changed here");
  EXPECT_EQ(service_.CountCalls("upload 0 p.txt"), 5);
  EXPECT_EQ(service_.CountCalls("upload 0 f.txt"), 5);

  // The real-time path: a failed upload is left to the poll cycle, and a
  // task run again after a restart does not send the file twice.
  std::ofstream(docs_ / "q.txt", std::ios::binary) << "quick";
  OnFileCloseCompletion(Change(docs_ / "q.txt"));
  service_.FailNext("upload", 4);
  RunQueuedTasks();
  EXPECT_NE(capture_.err().find("[RT-UPLOAD-ERR] q.txt\n"), std::string::npos);
  EXPECT_EQ(IdentityAt(docs_ / "q.txt").substr(0, 2), "P:");
  WriteSettled(docs_ / "q.txt", "quick");
  Cycle();
  const auto q = service_.FindFile("0", "q.txt");
  ASSERT_TRUE(q);
  UploadTask again;
  again.kind = UploadTaskKind::kUpload;
  again.path = docs_ / "q.txt";
  again.folder_id = platform::Utf8ToWide("0");
  again.recovered = true;
  ASSERT_TRUE(Enqueue(again));
  RunQueuedTasks();
  EXPECT_EQ(service_.CountCalls("upload 0 q.txt"), 5);
  EXPECT_EQ(IdentityAt(docs_ / "q.txt"), "F:" + q->id);

  // A rename keeps the id (one failed attempt is retried); a delete recycles.
  service_.ClearCalls();
  ASSERT_FALSE(provider_.Rename(docs_ / "q.txt", docs_ / "q2.txt"));
  OnRenameCompletion(Change(docs_ / "q2.txt", "F:" + q->id, docs_ / "q.txt"));
  EXPECT_TRUE(IsLocalMovePending(q->id));
  service_.FailNext("rename", 1);
  RunQueuedTasks();
  EXPECT_FALSE(IsLocalMovePending(q->id));
  EXPECT_EQ(service_.Find(q->id)->name, "q2.txt");
  fs::remove(docs_ / "q2.txt");
  OnDeleteCompletion(Change(docs_ / "q2.txt", "F:" + q->id));
  RunQueuedTasks();
  EXPECT_TRUE(service_.Find(q->id)->recycled);
  EXPECT_EQ(Changes(), (Calls{"rename " + q->id + " q2.txt FAILED", "rename " + q->id + " q2.txt",
                              "recycle " + q->id}));
  service_.ClearCalls();
  Cycle();
  EXPECT_EQ(Changes(), Calls{}) << "the poll cycle agrees with what the workers did";
}

}  // namespace
}  // namespace zem

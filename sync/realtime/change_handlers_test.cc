#include "sync/realtime/change_handlers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "common/output.h"
#include "platform/file_attributes.h"
#include "platform/known_folders.h"
#include "platform/process.h"
#include "platform/text.h"
#include "sync/poll/folder_id_map.h"
#include "sync/realtime/upload_queue.h"
#include "sync/state/dirty_cache.h"
#include "sync/state/file_time.h"
#include "sync/state/known_files.h"
#include "tests/support/test_hooks.h"
#include "tests/support/user_change.h"

namespace zem {
namespace {
namespace fs = std::filesystem;

// The handlers on a plain folder standing in for the sync root: what they
// queue depends only on the change reported, the names and the folder map.
class Handlers : public ::testing::Test {
 protected:
  Handlers()
      : root_(platform::TempFolder() / ("zem-rt-" + std::to_string(std::random_device{}()))),
        docs_(root_ / platform::PathFromUtf8("我的文档")) {
    fs::create_directories(docs_ / "sub");
    fs::create_directories(docs_ / "unmapped");
    fs::create_directories(root_ / platform::PathFromUtf8("共享给我"));
    ResetUploadQueueForTest();
    ResetChangeHandlersForTest();
    ResetKnownFilesForTest();
    ResetFolderIdMapForTest();
    ResetDirtyCacheForTest();
    SetRealtimeSyncRoot(root_);
    SetFolderId(docs_, "0");
    SetFolderId(docs_ / "sub", "d5");
  }
  ~Handlers() override {
    ResetUploadQueueForTest();
    ResetChangeHandlersForTest();
    ResetKnownFilesForTest();
    ResetFolderIdMapForTest();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  static platform::ChangeInfo Change(const fs::path& path, std::string identity = "",
                                     const fs::path& source = {}) {
    return testing::UserChange(path, std::move(identity), source);
  }
  static void Write(const fs::path& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
  }
  static std::vector<UploadTask> Tasks() { return AgentUploadQueue().Snapshot(); }

  ScopedOutputCapture capture_;
  fs::path root_, docs_;
};

TEST_F(Handlers, CloseQueuesOnlyTheUsersNewFilesWithSyncedNames) {
  Write(docs_ / "a.txt", "content");
  auto own = Change(docs_ / "a.txt");
  own.pid = platform::CurrentProcessId();
  OnFileCloseCompletion(own);
  EXPECT_TRUE(Tasks().empty()) << "the agent's own write";

  OnFileCloseCompletion(Change(docs_ / "a.txt"));
  auto tasks = Tasks();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].kind, UploadTaskKind::kUpload);
  EXPECT_EQ(tasks[0].folder_id, u"0");
  EXPECT_NE(capture_.out().find("[RT-ENQ] a.txt (folder=0, queue=1)\n"), std::string::npos);
  // The same file reported once more by the Windows watcher of new plain
  // files (no identity, pid 0): still one upload of the path.
  platform::ChangeInfo watched;
  watched.path = docs_ / "a.txt";
  OnFileCloseCompletion(watched);
  ASSERT_EQ(Tasks().size(), 1u);
  EXPECT_EQ(Tasks()[0].path, docs_ / "a.txt");

  for (const char* name : {"~$x.docx", ".hidden", "x.tmp", "x.crdownload", "x.partial",
                           "desktop.ini", "a|b.txt"}) {
    Write(docs_ / name, "skip");
    OnFileCloseCompletion(Change(docs_ / name));
  }
  Write(docs_ / "empty.txt", "");
  OnFileCloseCompletion(Change(docs_ / "empty.txt"));
  OnFileCloseCompletion(Change(docs_ / "missing.txt"));
  EXPECT_EQ(Tasks().size(), 1u);

  // Unchanged since it was last uploaded: the dirty cache has its time.
  Write(docs_ / "sub" / "same.txt", "x");
  platform::WriteLastWriteTime(docs_ / "sub" / "same.txt",
                               platform::CurrentFileTime() - 600'000'000);  // 60 s ago
  SetDirtyEntry(docs_ / "sub" / "same.txt",
                DirtyEntry{FileModifiedTime(docs_ / "sub" / "same.txt"), std::string(64, 'a')});
  OnFileCloseCompletion(Change(docs_ / "sub" / "same.txt"));
  EXPECT_EQ(Tasks().size(), 1u);
  // Hashed in the second it was written: another write in that second would
  // keep the time, so the cache does not vouch for it.
  Write(docs_ / "sub" / "fresh.txt", "x");
  SetDirtyEntry(docs_ / "sub" / "fresh.txt",
                DirtyEntry{FileModifiedTime(docs_ / "sub" / "fresh.txt"), std::string(64, 'a')});
  OnFileCloseCompletion(Change(docs_ / "sub" / "fresh.txt"));
  EXPECT_EQ(Tasks().size(), 2u);

  const fs::path ro = root_ / platform::PathFromUtf8("共享给我") / "r.txt";
  Write(ro, "x");
  OnFileCloseCompletion(Change(ro));
  Write(docs_ / "unmapped" / "u.txt", "x");
  OnFileCloseCompletion(Change(docs_ / "unmapped" / "u.txt"));
  EXPECT_EQ(Tasks().size(), 2u);
  EXPECT_NE(capture_.out().find("[NOTIFY-SKIP-READONLY] " + platform::PathToUtf8(ro) +
                                " (in 共享/团队/公司/回收站 只读区，跳过上传)\n"),
            std::string::npos);
  EXPECT_NE(capture_.out().find("[RT-SKIP-NOMAP] " +
                                platform::PathToUtf8(docs_ / "unmapped" / "u.txt") +
                                " (parent folder_id unknown, poll fallback)\n"),
            std::string::npos);
}

TEST_F(Handlers, DeleteRecyclesOnlySyncedFilesOfTheDocumentsTree) {
  OnDeleteCompletion(Change(docs_ / "p.txt", "P:123"));
  OnDeleteCompletion(Change(docs_ / "sub", "D:d5"));
  auto folder = Change(docs_ / "f", "F:9");
  folder.is_directory = true;
  OnDeleteCompletion(folder);
  OnDeleteCompletion(Change(docs_ / "s.txt", "S:4"));
  OnDeleteCompletion(Change(root_ / platform::PathFromUtf8("ZEM 回收站") / "r.txt", "R:5"));
  OnDeleteCompletion(Change(root_ / platform::PathFromUtf8("共享给我") / "x.txt", "F:6"));
  OnDeleteCompletion(Change(docs_ / "plain.txt", ""));
  auto own = Change(docs_ / "gone.txt", "F:7");
  own.pid = platform::CurrentProcessId();
  OnDeleteCompletion(own);
  EXPECT_TRUE(Tasks().empty());

  OnDeleteCompletion(Change(docs_ / "gone.txt", "F:123"));
  auto tasks = Tasks();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].kind, UploadTaskKind::kRecycle);
  EXPECT_EQ(tasks[0].file_id, "123");
  EXPECT_EQ(tasks[0].path, docs_ / "gone.txt");
  EXPECT_TRUE(IsLocalMovePending("123"));
  EXPECT_NE(capture_.out().find("[RT-ENQ-DEL] file_id=123\n"), std::string::npos);
  ReleaseLocalMove("123");
  EXPECT_FALSE(IsLocalMovePending("123"));
}

TEST_F(Handlers, RenamesStayRenamesMovesBecomeMovesTemporaryNamesWait) {
  // In its folder: a rename keeping the id.
  OnRenameCompletion(Change(docs_ / "b.txt", "F:1", docs_ / "a.txt"));
  // Into another mapped folder: a move.
  OnRenameCompletion(Change(docs_ / "sub" / "c.txt", "F:2", docs_ / "c.txt"));
  // Into a folder the service does not know: the service keeps its copy,
  // the file becomes the user's local copy.
  OnRenameCompletion(Change(docs_ / "unmapped" / "d.txt", "F:3", docs_ / "d.txt"));
  auto tasks = Tasks();
  ASSERT_EQ(tasks.size(), 3u);
  EXPECT_EQ(tasks[2].kind, UploadTaskKind::kLocalCopy);
  EXPECT_EQ(tasks[2].file_id, "3");
  EXPECT_EQ(tasks[2].path, docs_ / "unmapped" / "d.txt");
  EXPECT_EQ(tasks[0].kind, UploadTaskKind::kRename);
  EXPECT_EQ(tasks[0].new_name, u"b.txt");
  EXPECT_EQ(tasks[0].old_path, docs_ / "a.txt");
  EXPECT_EQ(KnownFilePath("1"), docs_ / "b.txt");
  EXPECT_TRUE(IsLocalMovePending("1"));
  EXPECT_EQ(tasks[1].kind, UploadTaskKind::kMove);
  EXPECT_EQ(tasks[1].folder_id, u"d5");
  EXPECT_EQ(tasks[1].file_id, "2");
  // Held, with its new place known: the poll cycle must not take the old
  // name for a delete (and recycle the service's copy) nor move it back.
  EXPECT_TRUE(IsLocalMovePending("3"));
  EXPECT_EQ(KnownFilePath("3"), docs_ / "unmapped" / "d.txt");
  EXPECT_NE(capture_.out().find("[RT-SKIP-NOMAP] "), std::string::npos);

  // An editor's save: the original goes to a temporary name (no rename on
  // the service), the new content comes in under the real name (an
  // upload), the original is deleted (a recycle of its id).
  Write(docs_ / "doc.docx", "new content");
  OnRenameCompletion(Change(docs_ / "~WRL0002.tmp", "F:8", docs_ / "doc.docx"));
  EXPECT_EQ(Tasks().size(), 3u);
  EXPECT_TRUE(IsLocalMovePending("8"));
  OnRenameCompletion(Change(docs_ / "doc.docx", "", docs_ / "~WRL0001.tmp"));
  OnDeleteCompletion(Change(docs_ / "~WRL0002.tmp", "F:8"));
  tasks = Tasks();
  ASSERT_EQ(tasks.size(), 5u);
  EXPECT_EQ(tasks[3].kind, UploadTaskKind::kUpload);
  EXPECT_EQ(tasks[3].path, docs_ / "doc.docx");
  EXPECT_EQ(tasks[4].kind, UploadTaskKind::kRecycle);
  EXPECT_EQ(tasks[4].file_id, "8");
  ReleaseLocalMove("8");  // the recycle ran: the aside hold ended at the delete
  EXPECT_FALSE(IsLocalMovePending("8"));

  // Folders and the agent's own renames queue nothing.
  auto dir = Change(docs_ / "newdir", "D:5", docs_ / "olddir");
  dir.is_directory = true;
  OnRenameCompletion(dir);
  auto own = Change(docs_ / "x2.txt", "F:9", docs_ / "x1.txt");
  own.pid = platform::CurrentProcessId();
  OnRenameCompletion(own);
  EXPECT_EQ(Tasks().size(), 5u);
}

TEST(RealtimeNames, SkipRulesFollowTheNameAndExtension) {
  for (const char* ok : {"a.txt", "报告.docx", "a.tmp.txt", "x.TMP", "tmp"}) {
    EXPECT_TRUE(IsRealtimeSyncedName(ok)) << ok;
  }
  for (const char* no : {"", "~$a.docx", ".a", "desktop.ini", "a.tmp", "b.crdownload",
                         "c.partial", "a|b"}) {
    EXPECT_FALSE(IsRealtimeSyncedName(no)) << no;
  }
}

}  // namespace
}  // namespace zem

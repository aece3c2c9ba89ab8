#include "sync/realtime/upload_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <random>
#include <thread>

#include "common/atomic_file.h"
#include "platform/known_folders.h"
#include "platform/text.h"
#include "sync/state/state_text.h"

namespace zem {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class QueueFile : public ::testing::Test {
 protected:
  QueueFile()
      : dir_(platform::TempFolder() /
             ("zem-queue-" + std::to_string(std::random_device{}()))),
        file_(dir_ / "sub" / "upload_queue.txt") {}
  ~QueueFile() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Write(const std::string& text) {
    fs::create_directories(file_.parent_path());
    std::ofstream(file_, std::ios::binary) << text;
  }
  std::string Read() const {
    std::string s;
    ReadWholeFile(file_, &s);
    return s;
  }
  static UploadTask Upload(const std::string& path, const std::u16string& folder) {
    UploadTask t;
    t.kind = UploadTaskKind::kUpload;
    t.path = platform::PathFromUtf8(path);
    t.folder_id = folder;
    return t;
  }
  static UploadTask Recycle(const std::string& id) {
    UploadTask t;
    t.kind = UploadTaskKind::kRecycle;
    t.file_id = id;
    return t;
  }

  fs::path dir_, file_;
};

// The four-line file: an upload, a recycle, a line without any bar and a
// rename without its new name; then the other ways a line is refused.
TEST_F(QueueFile, LoadKeepsWellFormedLinesAndContinuesTheSequence) {
  Write("7|U|/home/u/ZEM云盘/我的文档/a.txt|42\r\n"
        "9|R|abc\n"
        "no bars at all\n"
        "8|N|abc\n"
        "\n"
        "  12 trailing|R|idw\n"                 // leading space, text after the number
        "x5|R|bad\n"                            // no number first
        "99999999999999999999|R|overflow\n"     // beyond 64 bits
        "13|X|unknown kind\n"
        "14|u|lower-case kind\n"
        "15|U|/only/path\n"                     // upload without folder id
        "16|M|id|/new/path\n"                   // move without folder id
        "17|N|id7|新名字.txt\n"                 // old-format rename: no paths
        "18|M|id8|/home/u/d/b.txt|f9|/home/u/a.txt|extra\n"
        "19|U|/p/q.txt|\n");                    // empty folder id kept as a field
  UploadQueue q;
  q.Load(file_);
  const auto tasks = q.Snapshot();
  ASSERT_EQ(tasks.size(), 6u);
  EXPECT_EQ(tasks[0].seq, 7u);
  EXPECT_EQ(tasks[0].kind, UploadTaskKind::kUpload);
  EXPECT_EQ(platform::PathToUtf8(tasks[0].path), "/home/u/ZEM云盘/我的文档/a.txt");
  EXPECT_EQ(tasks[0].folder_id, u"42");
  EXPECT_TRUE(tasks[0].recovered);
  EXPECT_EQ(tasks[1].kind, UploadTaskKind::kRecycle);
  EXPECT_EQ(tasks[1].file_id, "abc");
  EXPECT_EQ(tasks[2].seq, 12u);
  EXPECT_EQ(tasks[2].file_id, "idw");
  EXPECT_EQ(tasks[3].kind, UploadTaskKind::kRename);
  EXPECT_EQ(tasks[3].new_name, u"新名字.txt");
  EXPECT_TRUE(tasks[3].old_path.empty());
  EXPECT_EQ(tasks[4].kind, UploadTaskKind::kMove);
  EXPECT_EQ(tasks[4].file_id, "id8");
  EXPECT_EQ(tasks[4].folder_id, u"f9");
  EXPECT_EQ(platform::PathToUtf8(tasks[4].old_path), "/home/u/a.txt");
  EXPECT_EQ(tasks[5].folder_id, u"");
  // Loading does not rewrite the file.
  EXPECT_NE(Read().find("no bars at all"), std::string::npos);
  // The next task gets the number after the highest loaded one.
  EXPECT_EQ(q.Enqueue(Recycle("z")), 20u);
}

TEST_F(QueueFile, TheSpecimenFileLoadsTwoTasksAndTheNextSeqIsTen) {
  Write("7|U|C:\\a.txt|42\r\n9|R|abc\r\nnothing\r\n8|N|abc\r\n");
  UploadQueue q;
  q.Load(file_);
  EXPECT_EQ(q.Length(), 2u);
  EXPECT_EQ(q.Enqueue(Recycle("x")), 10u);
}

TEST_F(QueueFile, MissingFileIsAFirstStart) {
  UploadQueue q;
  q.Load(file_);
  EXPECT_EQ(q.Length(), 0u);
  EXPECT_TRUE(fs::is_directory(file_.parent_path()));
  EXPECT_EQ(q.Enqueue(Recycle("a")), 0u);  // numbering starts at 0
}

// Every kind survives a write and a read back.
TEST_F(QueueFile, LinesRoundTrip) {
  UploadTask move;
  move.seq = 5;
  move.kind = UploadTaskKind::kMove;
  move.file_id = "f1";
  move.path = platform::PathFromUtf8("/r/新/b c.txt");
  move.folder_id = u"d7";
  move.old_path = platform::PathFromUtf8("/r/旧/b c.txt");
  UploadTask rename;
  rename.seq = 6;
  rename.kind = UploadTaskKind::kRename;
  rename.file_id = "f2";
  rename.new_name = u"b.txt";
  rename.old_path = platform::PathFromUtf8("/r/a.txt");
  rename.path = platform::PathFromUtf8("/r/b.txt");
  UploadTask upload = Upload("/r/x y.txt", u"0");
  upload.seq = 7;
  UploadTask recycle = Recycle("f3");
  recycle.seq = 8;
  recycle.path = platform::PathFromUtf8("/r/gone.txt");
  UploadTask copy;
  copy.seq = 9;
  copy.kind = UploadTaskKind::kLocalCopy;
  copy.file_id = "f4";
  copy.path = platform::PathFromUtf8("/r/own/c.txt");
  for (const UploadTask& t : {move, rename, upload, recycle, copy}) {
    const auto back = ParseQueueLine(FormatQueueLine(t));
    ASSERT_TRUE(back) << FormatQueueLine(t);
    EXPECT_EQ(*back, t) << FormatQueueLine(t);
  }
  EXPECT_EQ(FormatQueueLine(upload), "7|U|/r/x y.txt|0");
  EXPECT_EQ(FormatQueueLine(Recycle("q")), "0|R|q");
}

// Saving the same file again before its upload starts keeps one task at the
// old place with the new seq and folder id; recycles never merge, and a
// task already running is not touched.
TEST_F(QueueFile, EnqueueMergesPendingUploadsOfOnePath) {
  UploadQueue q;
  q.Load(file_);
  q.Enqueue(Upload("/r/a.txt", u"1"));   // 0
  q.Enqueue(Recycle("x"));               // 1
  q.Enqueue(Upload("/r/b.txt", u"1"));   // 2
  q.Enqueue(Recycle("x"));               // 3
  EXPECT_EQ(q.Enqueue(Upload("/r/a.txt", u"9")), 4u);
  EXPECT_EQ(q.Enqueue(Upload("/r/A.txt", u"9")), 5u);  // case-sensitive: another file
  auto tasks = q.Snapshot();
  ASSERT_EQ(tasks.size(), 5u);
  EXPECT_EQ(tasks[0].seq, 4u);
  EXPECT_EQ(tasks[0].folder_id, u"9");
  EXPECT_EQ(tasks[1].seq, 1u);
  EXPECT_EQ(tasks[3].seq, 3u);
  EXPECT_EQ(tasks[4].seq, 5u);
  EXPECT_EQ(Read(), [] {
    std::string s;
    for (auto l : {"4|U|/r/a.txt|9", "1|R|x", "2|U|/r/b.txt|1", "3|R|x", "5|U|/r/A.txt|9"}) {
      AppendStateLine(s, l);
    }
    return s;
  }());

  // Running: a new save of a.txt is a task of its own after it.
  auto running = q.TakeNext();
  ASSERT_TRUE(running);
  EXPECT_EQ(running->seq, 4u);
  q.Enqueue(Upload("/r/a.txt", u"9"));
  tasks = q.Snapshot();
  ASSERT_EQ(tasks.size(), 6u);
  EXPECT_EQ(tasks[0].seq, 4u);  // in flight first
  EXPECT_EQ(tasks[5].seq, 6u);  // pending at the back
  // The in-flight task stays in the file until it is finished.
  EXPECT_NE(Read().find("4|U|/r/a.txt|9"), std::string::npos);
  q.FinishTask(4);
  EXPECT_EQ(Read().find("4|U|"), std::string::npos);
  EXPECT_EQ(q.Length(), 5u);
}

// A crash while a task runs: the next start finds it in the file, before the
// tasks that were waiting (it started first: a rename queued behind an
// upload of the same file must not overtake it). A line cut by the crash is
// ignored, and the file stays usable for appends afterwards.
TEST_F(QueueFile, InFlightTaskComesBackFirstAfterACrash) {
  {
    UploadQueue q;
    q.Load(file_);
    q.Enqueue(Upload("/r/a.txt", u"1"));
    q.Enqueue(Upload("/r/b.txt", u"1"));
    ASSERT_TRUE(q.TakeNext());
    q.Enqueue(Recycle("c"));
    // No FinishTask: the agent died, in the middle of appending a line.
  }
  std::ofstream(file_, std::ios::binary | std::ios::app) << "9|U|/r/cut";
  UploadQueue q;
  q.Load(file_);
  auto tasks = q.Snapshot();
  ASSERT_EQ(tasks.size(), 3u);
  EXPECT_EQ(platform::PathToUtf8(tasks[0].path), "/r/a.txt");
  EXPECT_EQ(platform::PathToUtf8(tasks[1].path), "/r/b.txt");
  EXPECT_EQ(tasks[2].file_id, "c");
  q.Enqueue(Recycle("d"));
  UploadQueue again;
  again.Load(file_);
  tasks = again.Snapshot();
  ASSERT_EQ(tasks.size(), 4u);
  EXPECT_EQ(tasks[3].file_id, "d");
  EXPECT_EQ(Read().find("cut"), std::string::npos);
}

// A stop drains what is queued, drops what comes after, and ends the drain
// early when told (or at its time limit), leaving the rest in the file.
TEST_F(QueueFile, StopDrainsWithinItsLimitAndKeepsTheRest) {
  UploadQueue q;
  q.Load(file_);
  for (const char* id : {"a", "b", "c"}) q.Enqueue(Recycle(id));
  q.Stop(1h);
  EXPECT_FALSE(q.Enqueue(Recycle("late")));
  auto t = q.TakeNext();
  ASSERT_TRUE(t);
  q.FinishTask(t->seq);
  q.EndDrain();
  EXPECT_FALSE(q.TakeNext());
  EXPECT_EQ(q.Length(), 2u);
  EXPECT_EQ(Read().find("late"), std::string::npos);
  EXPECT_NE(Read().find("|R|c"), std::string::npos);

  UploadQueue expired;
  expired.Enqueue(Recycle("x"));
  expired.Stop(0s);
  EXPECT_FALSE(expired.TakeNext());
}

// Waiting workers wake for new tasks and end at the stop once all is done.
TEST_F(QueueFile, WorkersShareTheTasksAndEndAfterTheStop) {
  UploadQueue q;
  std::atomic<int> ran{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 2; ++i) {
    workers.emplace_back([&] {
      while (auto t = q.TakeNext()) {
        ++ran;
        q.FinishTask(t->seq);
      }
    });
  }
  for (int i = 0; i < 50; ++i) q.Enqueue(Recycle("id" + std::to_string(i)));
  q.Stop(1h);
  for (auto& w : workers) w.join();
  EXPECT_EQ(ran.load(), 50);
  EXPECT_EQ(q.Length(), 0u);
}

}  // namespace
}  // namespace zem

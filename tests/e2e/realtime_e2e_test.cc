// The real-time path end to end on Linux: zemd, register, keygate, populate,
// then corvane with its poll cycle held off, so that everything that
// reaches the service here came from the close, delete and rename
// notifications of the FUSE sync root, the upload queue and its workers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "platform/cloud_files.h"
#include "platform/process.h"
#include "service/sha256.h"
#include "service/testing/zemd_harness.h"
#include "tests/support/temp_home.h"

namespace zem {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ProgramPath;
using testing::TempHome;

constexpr char kUploadPath[] = "/zem/api/cloud-disk/file/upload-simple";

fs::path U8(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

void WriteFile(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Identity(const fs::path& p) {
  platform::PlaceholderHandle handle;
  platform::PlaceholderState state;
  if (!handle.Open(p, false).ok() || !handle.GetState(&state).ok()) return {};
  return state.identity;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class RealtimeEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zemd_.ok()) << zemd_.error();
    folder_a_ = zemd_.CreateFolder("0", "A");
    folder_b_ = zemd_.CreateFolder("0", "B");
    ASSERT_FALSE(folder_a_.empty() || folder_b_.empty()) << zemd_.last_admin_error();
    doc_id_ = zemd_.CreateFile("0", "doc.docx", "the document");
    report_id_ = zemd_.CreateFile("0", "report.docx", "report v1");
    a_id_ = zemd_.CreateFile(folder_a_, "a.txt", "in A");
    m_id_ = zemd_.CreateFile(folder_a_, "m.txt", "moving content");
    home_.WriteConfig("{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(zemd_.port()) + "}");
    for (auto [program, args] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"register", {}}, {"keygate", {"--token", zemd_.token()}}, {"populate", {}}}) {
      const auto r = platform::RunProcess(ProgramPath(program), args, home_.Options());
      ASSERT_EQ(r.exit_code, 0) << program << "\n" << r.out << r.err;
    }
    // populate leaves the folders plain; give them the folder identity a
    // folder placeholder carries, as the poll cycle's folders have.
    for (const auto& [name, id] : {std::pair{"A", folder_a_}, std::pair{"B", folder_b_}}) {
      platform::PlaceholderHandle handle;
      ASSERT_TRUE(handle.Open(home_.sync_root() / name, false).ok());
      ASSERT_TRUE(handle.ConvertToPlaceholder("D:" + id, true).ok());
    }
    // A stand-in for gdbus that records the notifications it is asked for.
    fake_bin_ = home_.root() / "fake-bin";
    fs::create_directories(fake_bin_);
    const fs::path script = fake_bin_ / "gdbus";
    WriteFile(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"$ZEM_TEST_NOTIFY_LOG\"\n");
    fs::permissions(script, fs::perms::owner_all);
  }

  platform::ProcessOptions AgentOptions() const {
    platform::ProcessOptions o = home_.Options();
    o.env["ZEM_POLL_INTERVAL_MS"] = "3600000";
    o.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent/zem-test-bus";
    o.env["ZEM_TEST_NOTIFY_LOG"] = notify_log().string();
    const char* path = std::getenv("PATH");
    o.env["PATH"] = fake_bin_.string() + ":" + (path ? path : "/usr/bin:/bin");
    return o;
  }

  void StartAgent() {
    log_mark_ = Log().size();
    ASSERT_TRUE(agent_.Start(ProgramPath("corvane"), {}, AgentOptions(), {}, {}).ok());
    ASSERT_TRUE(WaitFor("[OK] upload workers started: 2\n", 20s)) << Log();
  }

  // Waits until the log written since the last start holds `needle` `times` times.
  bool WaitFor(const std::string& needle, std::chrono::milliseconds limit, size_t times = 1) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (Count(RunLog(), needle) >= times) return true;
      int code;
      if (agent_.running() && agent_.Wait(0, code)) return false;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  std::string Log() const { return TempHome::Read(home_.agent_log()); }
  // Whether `file` comes to hold `needle` within two seconds (the workers
  // write the records and notifications just after their log line).
  static bool SoonHolds(const fs::path& file, const std::string& needle) {
    for (int i = 0; i < 40; ++i) {
      if (TempHome::Read(file).find(needle) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  std::string RunLog() const {
    const std::string all = Log();
    return all.size() >= log_mark_ ? all.substr(log_mark_) : all;
  }
  fs::path notify_log() const { return home_.root() / "notifications.txt"; }
  fs::path Docs(const std::string& rel = "") const {
    return home_.sync_root() / U8("我的文档") / U8(rel);
  }
  fs::path QueueFile() const { return home_.app_data() / "upload_queue.txt"; }

  std::vector<testing::TreeFile> Live(const std::string& folder, const std::string& name) {
    std::vector<testing::TreeFile> out;
    for (const auto& f : zemd_.GetTree().files) {
      if (f.status == 1 && f.folder_id == folder && f.name == name) out.push_back(f);
    }
    return out;
  }
  std::optional<testing::TreeFile> FileById(const std::string& id) {
    for (const auto& f : zemd_.GetTree().files) {
      if (f.id == id) return f;
    }
    return std::nullopt;
  }
  size_t UploadsNamed(const std::string& name) {
    size_t n = 0;
    for (const auto& r : zemd_.Requests()) {
      if (r.path == kUploadPath && r.status == 200 &&
          r.query.find("name=" + testing::PercentEncode(name)) != std::string::npos) {
        ++n;
      }
    }
    return n;
  }

  int Terminate(std::chrono::milliseconds limit) {
    EXPECT_TRUE(agent_.RequestTermination());
    int code = -1;
    EXPECT_TRUE(agent_.Wait(static_cast<int>(limit.count()), code)) << Log();
    return code;
  }

  testing::ZemdServer zemd_;
  TempHome home_;
  platform::BackgroundProcess agent_;
  fs::path fake_bin_;
  size_t log_mark_ = 0;
  std::string folder_a_, folder_b_, doc_id_, report_id_, a_id_, m_id_;
};

TEST_F(RealtimeEndToEnd, UserChangesReachTheServiceOnceAndTheAgentsOwnDoNot) {
  StartAgent();
  const std::string docs_id = "0";

  // A new file: one upload, the file becomes "F:" + id, the known files
  // name it (the hash cache keeps a file only once its write time is two
  // seconds old, so it does not name this one yet).
  WriteFile(Docs("new.txt"), "hello, service");
  ASSERT_TRUE(WaitFor("[RT-UPLOAD-OK] new.txt → file_id=", 20s)) << RunLog();
  auto live = Live(docs_id, "new.txt");
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].sha256, zemd::Sha256Hex("hello, service"));
  EXPECT_EQ(Identity(Docs("new.txt")), "F:" + live[0].id);
  EXPECT_NE(TempHome::Read(home_.app_data() / "known_files.txt").find(live[0].id),
            std::string::npos);
  EXPECT_EQ(UploadsNamed("new.txt"), 1u);
  // The conversion to a placeholder is the agent's own change: no second task.
  EXPECT_EQ(Count(RunLog(), "[RT-ENQ] new.txt"), 1u);

  // Saved three times in quick succession: queued once, one web copy.
  for (int i = 0; i < 3; ++i) WriteFile(Docs("thrice.txt"), "version " + std::to_string(i));
  ASSERT_TRUE(WaitFor("[RT-UPLOAD-OK] thrice.txt", 20s)) << RunLog();
  EXPECT_EQ(Count(RunLog(), "[RT-ENQ] thrice.txt"), 1u) << RunLog();
  EXPECT_EQ(Live(docs_id, "thrice.txt").size(), 1u);

  // Names and files that are never queued; a read-only area; a folder the
  // service does not know.
  for (const char* name : {"~$x.docx", ".hidden", "x.tmp", "x.crdownload", "x.partial",
                           "desktop.ini"}) {
    WriteFile(Docs(name), "skip me");
  }
  WriteFile(Docs("empty.txt"), "");
  WriteFile(home_.sync_root() / U8("共享给我") / "ro.txt", "not mine to upload");
  fs::create_directory(Docs("local only"));
  WriteFile(Docs("local only/inner.txt"), "no folder id");
  WriteFile(Docs("sentinel.txt"), "after the skipped ones");
  ASSERT_TRUE(WaitFor("[RT-UPLOAD-OK] sentinel.txt", 20s)) << RunLog();
  EXPECT_TRUE(WaitFor("[NOTIFY-SKIP-READONLY] " + (home_.sync_root() / U8("共享给我") / "ro.txt").string(), 1s)) << RunLog();
  EXPECT_NE(RunLog().find("[RT-SKIP-NOMAP] " + Docs("local only/inner.txt").string() +
                          " (parent folder_id unknown, poll fallback)\n"),
            std::string::npos);
  EXPECT_EQ(Count(RunLog(), "[RT-ENQ] "), 3u) << RunLog();  // new, thrice, sentinel
  for (const auto& f : zemd_.GetTree().files) {
    EXPECT_TRUE(f.name != "x.tmp" && f.name != "empty.txt" && f.name != "ro.txt" &&
                f.name != "inner.txt" && f.name != ".hidden")
        << f.name;
  }

  // Delete: the synced file is recycled; a pending one recycles nothing.
  fs::remove(Docs("A/a.txt"));
  ASSERT_TRUE(WaitFor("[RT-RECYCLE-OK] " + a_id_, 20s)) << RunLog();
  EXPECT_EQ(FileById(a_id_)->status, 2);
  EXPECT_EQ(TempHome::Read(home_.app_data() / "known_files.txt").find(a_id_ + "\n"),
            std::string::npos);

  // Rename within a folder: same id, new name.
  fs::rename(Docs("doc.docx"), Docs("renamed.docx"));
  ASSERT_TRUE(WaitFor("[RENAME-OK] " + Docs("doc.docx").string() + " → " +
                          Docs("renamed.docx").string() + "\n",
                      20s))
      << RunLog();
  EXPECT_EQ(FileById(doc_id_)->name, "renamed.docx");
  EXPECT_EQ(FileById(doc_id_)->status, 1);
  EXPECT_EQ(Identity(Docs("renamed.docx")), "F:" + doc_id_);

  // Move between folders (content not local yet): the new folder gets the
  // file first, then the old copy is recycled, the placeholder takes the
  // new id and still reads the content.
  const uint64_t before_move = zemd_.Requests().empty() ? 0 : zemd_.Requests().back().seq;
  fs::rename(Docs("A/m.txt"), Docs("B/m.txt"));
  ASSERT_TRUE(WaitFor("[RT-MOVE-OK] ", 20s)) << RunLog();
  live = Live(folder_b_, "m.txt");
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].sha256, zemd::Sha256Hex("moving content"));
  EXPECT_EQ(FileById(m_id_)->status, 2);
  EXPECT_EQ(Identity(Docs("B/m.txt")), "F:" + live[0].id);
  EXPECT_EQ(ReadAll(Docs("B/m.txt")), "moving content");
  uint64_t upload_seq = 0, recycle_seq = 0;
  for (const auto& r : zemd_.Requests(before_move)) {
    if (r.path == kUploadPath && r.status == 200) upload_seq = r.seq;
    if (r.path == "/zem/api/cloud-disk/file/recycle") recycle_seq = r.seq;
  }
  EXPECT_NE(upload_seq, 0u);
  EXPECT_GT(recycle_seq, upload_seq) << "recycled before the new copy existed";

  // An office-style save: the new content is written to a temporary file,
  // the original renamed away, the temporary renamed in, the old deleted.
  WriteFile(Docs("~WRL0001.tmp"), "report v2");
  fs::rename(Docs("report.docx"), Docs("~WRL0002.tmp"));
  fs::rename(Docs("~WRL0001.tmp"), Docs("report.docx"));
  fs::remove(Docs("~WRL0002.tmp"));
  ASSERT_TRUE(WaitFor("[RT-UPLOAD-OK] report.docx", 20s)) << RunLog();
  ASSERT_TRUE(WaitFor("[RT-RECYCLE-OK] " + report_id_, 20s)) << RunLog();
  live = Live(docs_id, "report.docx");
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].sha256, zemd::Sha256Hex("report v2"));
  for (const auto& f : zemd_.GetTree().files) {
    EXPECT_EQ(f.name.find("~WRL"), std::string::npos) << "temporary name on the service";
  }
  EXPECT_EQ(Identity(Docs("report.docx")), "F:" + live[0].id);

  // An upload refused three times, then accepted: three retries, one copy,
  // a recent-transfer record and an information notification.
  testing::FaultRule fault;
  fault.path = kUploadPath;
  fault.kind = "status";
  fault.status = 503;
  fault.count = 3;
  ASSERT_TRUE(zemd_.InjectFault(fault));
  WriteFile(Docs("retry.txt"), "third time lucky");
  ASSERT_TRUE(WaitFor("[RT-UPLOAD-OK] retry.txt", 30s)) << RunLog();
  EXPECT_EQ(Count(RunLog(), "[RETRY] rt-upload failed; sleep "), 3u);
  EXPECT_EQ(Live(docs_id, "retry.txt").size(), 1u);
  EXPECT_TRUE(SoonHolds(home_.app_data() / "recent_transfers.txt", "|D|retry.txt"));
  SoonHolds(notify_log(), "retry.txt");
  const std::string notes = TempHome::Read(notify_log());
  EXPECT_NE(notes.find("\"上传完成\"\n\"retry.txt\""), std::string::npos) << notes;
  EXPECT_NE(notes.find("org.freedesktop.Notifications.Notify"), std::string::npos);

  // Refused for good: the error notification, a failed recent transfer,
  // and the file stays a pending placeholder for the poll cycle.
  fault.count = 4;
  ASSERT_TRUE(zemd_.InjectFault(fault));
  WriteFile(Docs("never.txt"), "the service says no");
  ASSERT_TRUE(WaitFor("[RT-UPLOAD-ERR] never.txt\n", 30s)) << RunLog();
  EXPECT_NE(RunLog().find("[RETRY-GIVEUP] rt-upload failed after 4 attempts"), std::string::npos);
  EXPECT_TRUE(Live(docs_id, "never.txt").empty());
  EXPECT_EQ(Identity(Docs("never.txt")).rfind("P:", 0), 0u);
  EXPECT_TRUE(SoonHolds(home_.app_data() / "recent_transfers.txt", "|E|never.txt"));
  EXPECT_TRUE(SoonHolds(notify_log(), "\"dialog-error\"\n\"上传失败\"\n\"never.txt\""))
      << TempHome::Read(notify_log());
  // ... and `corvane --status` lists it among the failures.
  const std::string reason = "upload of " + Docs("never.txt").string() +
                             " failed; it is tried again later\n";
  EXPECT_TRUE(SoonHolds(home_.runtime_dir() / "ZemCloudDisk" / "agent-status.txt", reason));
  const std::string status =
      platform::RunProcess(ProgramPath("corvane"), {"--status"}, home_.Options()).out;
  EXPECT_NE(status.find("     Failures: 1\n"), std::string::npos) << status;
  EXPECT_NE(status.find(" " + reason), std::string::npos) << status;

  EXPECT_EQ(Terminate(10s), 0);
  const std::string log = RunLog();
  EXPECT_EQ(log.find("[RT-WORKER-EXC]"), std::string::npos);
  EXPECT_NE(log.find("[OK] upload workers stopped.\n"), std::string::npos) << log;
  EXPECT_EQ(TempHome::Read(QueueFile()), "");
}

// A stop waits for the queued tasks; a service that hangs cannot hold it
// past the drain limit plus the task in hand, and what was left runs after
// the next start, each file reaching the service exactly once.
TEST_F(RealtimeEndToEnd, StopDrainsTheQueueButNotForever) {
  StartAgent();
  testing::FaultRule slow;
  slow.path = kUploadPath;
  slow.kind = "delay";
  slow.delay_ms = 300;
  slow.count = 6;
  ASSERT_TRUE(zemd_.InjectFault(slow));
  for (int i = 0; i < 6; ++i) WriteFile(Docs("q" + std::to_string(i) + ".txt"), "queued " + std::to_string(i));
  ASSERT_TRUE(WaitFor("[RT-ENQ] q5.txt", 10s)) << RunLog();
  EXPECT_EQ(Terminate(20s), 0);
  std::string log = RunLog();
  EXPECT_EQ(Count(log, "[RT-UPLOAD-OK] q"), 6u) << log;
  const size_t stopped = log.find("[OK] upload workers stopped.\n");
  ASSERT_NE(stopped, std::string::npos) << log;
  EXPECT_EQ(log.find("[RT-", stopped), std::string::npos) << "task lines after the stop line";
  EXPECT_EQ(TempHome::Read(QueueFile()), "");

  // Now the service hangs for 3 s on every upload.
  StartAgent();
  testing::FaultRule hang = slow;
  hang.delay_ms = 3000;
  hang.count = 100;
  ASSERT_TRUE(zemd_.InjectFault(hang));
  for (int i = 0; i < 12; ++i) WriteFile(Docs("h" + std::to_string(i) + ".txt"), "hung " + std::to_string(i));
  ASSERT_TRUE(WaitFor("[RT-ENQ] h11.txt", 10s)) << RunLog();
  const auto stop_start = std::chrono::steady_clock::now();
  EXPECT_EQ(Terminate(30s), 0);
  const auto took = std::chrono::steady_clock::now() - stop_start;
  EXPECT_LT(took, 17s);  // 10 s of draining plus one 3 s upload, with room
  log = RunLog();
  const std::regex left_line(R"(\[OK\] upload workers stopped\. \((\d+) tasks left for the next start\)\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(log, m, left_line)) << log;
  const int left = std::stoi(m[1]);
  EXPECT_GT(left, 0);
  EXPECT_EQ(static_cast<int>(Count(log, "[RT-UPLOAD-OK] h")) + left, 12) << log;
  EXPECT_EQ(static_cast<int>(Count(TempHome::Read(QueueFile()), "|U|")), left);

  ASSERT_TRUE(zemd_.ClearFaults());
  StartAgent();
  EXPECT_NE(RunLog().find("(recovered " + std::to_string(left) + " tasks)"), std::string::npos);
  // The left tasks run (or find their file uploaded by the poll cycle's
  // first pass): the queue empties, every file is on the service once.
  const auto end = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < end && !TempHome::Read(QueueFile()).empty()) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(TempHome::Read(QueueFile()), "") << RunLog();
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(Live("0", "h" + std::to_string(i) + ".txt").size(), 1u) << i << RunLog();
    EXPECT_EQ(UploadsNamed("h" + std::to_string(i) + ".txt"), 1u) << i;
  }
  EXPECT_EQ(Terminate(10s), 0);
}

// kill -9 while an upload runs, before the service stored it and after:
// the next start finishes the task, and the service holds one copy each.
TEST_F(RealtimeEndToEnd, KilledDuringAnUploadLeavesOneWebCopy) {
  // The service stores the upload, then answers very slowly.
  StartAgent();
  testing::FaultRule slow_answer;
  slow_answer.path = kUploadPath;
  slow_answer.kind = "trickle";
  slow_answer.chunk_bytes = 1;
  slow_answer.interval_ms = 1000;
  slow_answer.count = 1;
  ASSERT_TRUE(zemd_.InjectFault(slow_answer));
  WriteFile(Docs("stored.txt"), "stored before the crash");
  for (int i = 0; i < 200 && Live("0", "stored.txt").empty(); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_EQ(Live("0", "stored.txt").size(), 1u);
  agent_.Kill();
  EXPECT_NE(TempHome::Read(QueueFile()).find("stored.txt"), std::string::npos);

  // The service waits before reading the body: killed before it stored it.
  ASSERT_TRUE(zemd_.ClearFaults());
  StartAgent();
  ASSERT_TRUE(WaitFor("[RT-UPLOAD-OK] stored.txt → file_id=", 20s)) << RunLog();
  EXPECT_NE(RunLog().find("(already on the service)"), std::string::npos);
  testing::FaultRule slow_start;
  slow_start.path = kUploadPath;
  slow_start.kind = "delay";
  slow_start.delay_ms = 5000;
  ASSERT_TRUE(zemd_.InjectFault(slow_start));
  WriteFile(Docs("unsent.txt"), "not stored before the crash");
  ASSERT_TRUE(WaitFor("[RT-UPLOAD] unsent.txt", 10s)) << RunLog();
  agent_.Kill();
  std::this_thread::sleep_for(5500ms);  // the delayed request ends without a body
  ASSERT_TRUE(zemd_.ClearFaults());
  StartAgent();
  // Finished by the restarted worker, or adopted by the first poll cycle
  // when that claims the file first (the worker then leaves it alone).
  const auto finished = [&] {
    const std::string log = RunLog();
    return log.find("[RT-UPLOAD-OK] unsent.txt") != std::string::npos ||
           log.find("[UPLOAD-ADOPT] unsent.txt") != std::string::npos;
  };
  for (int i = 0; i < 400 && !finished(); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(finished()) << RunLog();
  for (const char* name : {"stored.txt", "unsent.txt"}) {
    const auto live = Live("0", name);
    ASSERT_EQ(live.size(), 1u) << name;
    EXPECT_EQ(Identity(Docs(name)), "F:" + live[0].id) << name;
  }
  EXPECT_EQ(Terminate(10s), 0);
  EXPECT_EQ(TempHome::Read(QueueFile()), "");
}

}  // namespace
}  // namespace zem

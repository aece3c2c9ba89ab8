// The real-time path under Wine: the change handlers called directly (Wine
// has no Cloud Files API to call them), the queue file with CR LF, and the
// two upload workers against the zemd of the CTest fixture over WinHTTP.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "client/auth_header.h"
#include "client/backend.h"
#include "client/retry.h"
#include "common/atomic_file.h"
#include "common/output.h"
#include "platform/process.h"
#include "platform/text.h"
#include "sync/poll/folder_id_map.h"
#include "sync/realtime/change_handlers.h"
#include "sync/realtime/upload_queue.h"
#include "sync/realtime/upload_worker.h"
#include "sync/state/progress_entries.h"
#include "tests/client/zemd_admin.h"
#include "tests/support/test_hooks.h"
#include "tests/support/user_change.h"

namespace zem::testing {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class RealtimeUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(admin_.ResetToSeededUser());
    BackendConfig config;
    config.host = u"127.0.0.1";
    config.port = static_cast<uint16_t>(TestZemd().port);
    SetBackend(config, AuthHeaderForToken(TestZemd().token));
    root_ = fs::temp_directory_path() / ("zem-rt-wine-" + std::to_string(std::random_device{}()));
    docs_ = root_ / platform::PathFromUtf8("我的文档");
    fs::create_directories(docs_);
    ResetUploadQueueForTest();
    ResetChangeHandlersForTest();
    ResetFolderIdMapForTest();
    ResetProgressEntriesForTest();
    SetRealtimeSyncRoot(root_);
    SetFolderId(docs_, "0");
    LoadQueue(root_ / "upload_queue.txt");
  }
  void TearDown() override {
    ResetUploadQueueForTest();
    ResetChangeHandlersForTest();
    ResetFolderIdMapForTest();
    ResetProgressEntriesForTest();
    ResetBackendForTest();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  static platform::ChangeInfo Change(const fs::path& path, std::string identity = "",
                                     const fs::path& source = {}) {
    return testing::UserChange(path, std::move(identity), source);
  }

  // Runs the workers until the queue is empty.
  void Drain() {
    StartUploadWorkers(2);
    for (int i = 0; i < 400 && QueueLength() > 0; ++i) std::this_thread::sleep_for(25ms);
    EXPECT_EQ(StopUploadWorkers(), 0u);
  }

  const zem::zemd::JsonValue* FileNamed(const zem::zemd::JsonValue& tree, const std::string& name) {
    const auto* files = tree.Find("files");
    if (!files) return nullptr;
    for (const auto& f : files->items) {
      if (f.Str("name") == name) return &f;
    }
    return nullptr;
  }

  ZemdAdmin admin_{TestZemd()};
  std::vector<long> waits_;
  ScopedRetrySleeper sleeper_{[this](std::chrono::milliseconds ms) { waits_.push_back(ms.count()); }};
  fs::path root_, docs_;
};

TEST_F(RealtimeUnderWine, HandlersQueueWithCrLfAndWorkersReachTheService) {
  const std::string old_id = admin_.CreateFile("0", "old.txt", "to recycle");
  const std::string doc_id = admin_.CreateFile("0", "a.txt", "to rename");
  ASSERT_FALSE(old_id.empty() || doc_id.empty());
  ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/file/upload-simple", "status", 2,
                                 "\"status\":503"));
  std::ofstream(docs_ / platform::PathFromUtf8("新.txt"), std::ios::binary) << "saved under Wine";

  ScopedOutputCapture out;
  OnFileCloseCompletion(Change(docs_ / platform::PathFromUtf8("新.txt")));
  OnDeleteCompletion(Change(docs_ / "old.txt", "F:" + old_id));
  OnRenameCompletion(Change(docs_ / "b.txt", "F:" + doc_id, docs_ / "a.txt"));
  auto own = Change(docs_ / "x.txt", "F:" + doc_id);
  own.pid = platform::CurrentProcessId();
  OnDeleteCompletion(own);  // the agent's own delete: nothing
  ASSERT_EQ(QueueLength(), 3u);
  std::string file;
  ASSERT_TRUE(ReadWholeFile(root_ / "upload_queue.txt", &file));
  EXPECT_EQ(file, "0|U|" + platform::PathToUtf8(docs_ / platform::PathFromUtf8("新.txt")) + "|0\r\n" +
                      "1|R|" + old_id + "|" + platform::PathToUtf8(docs_ / "old.txt") + "\r\n" +
                      "2|N|" + doc_id + "|b.txt|" + platform::PathToUtf8(docs_ / "a.txt") + "|" +
                      platform::PathToUtf8(docs_ / "b.txt") + "\r\n");

  Drain();
  const std::string log = out.all();
  const auto tree = admin_.Tree();
  const auto* uploaded = FileNamed(tree, "新.txt");
  ASSERT_NE(uploaded, nullptr) << log;
  EXPECT_EQ(uploaded->Int("status"), 1);
  EXPECT_EQ(FileNamed(tree, "old.txt")->Int("status"), 2);
  ASSERT_NE(FileNamed(tree, "b.txt"), nullptr) << log;
  EXPECT_EQ(FileNamed(tree, "b.txt")->Str("id"), doc_id);
  EXPECT_EQ(waits_, (std::vector<long>{1000, 2000}));
  EXPECT_NE(log.find("[RT-RECYCLE-OK] " + old_id + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[RENAME-OK] "), std::string::npos) << log;
  // No Cloud Files API under Wine: the upload stands, the conversion fails.
  EXPECT_NE(log.find("[RT-UPLOAD-WARN] convert failed; DiffDir will rescan\n"), std::string::npos)
      << log;
  const auto progress = ProgressEntriesSnapshot();
  ASSERT_EQ(progress.size(), 1u);
  EXPECT_EQ(progress[0].name, u"新.txt");
  EXPECT_EQ(progress[0].status, TransferStatus::kFailed);
  EXPECT_TRUE(ReadWholeFile(root_ / "upload_queue.txt", &file));
  EXPECT_EQ(file, "");
}

}  // namespace
}  // namespace zem::testing

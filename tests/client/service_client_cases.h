// The service client against a real zemd: what each operation sends (read
// back from zemd's request log) and how it reads the answers and failures.
// Included by one test program per platform (Linux: libcurl; Windows under
// Wine: WinHTTP), which defines TestZemd().
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/auth_header.h"
#include "client/backend.h"
#include "client/exchange.h"
#include "client/file_ops.h"
#include "client/listing.h"
#include "client/retry.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/http.h"
#include "platform/text.h"
#include "tests/client/zemd_admin.h"
#include "tests/support/test_hooks.h"

namespace zem::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kJsonType[] = "application/json; charset=utf-8";

class ServiceClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(admin_.ResetToSeededUser());
    ASSERT_TRUE(admin_.ClearRequests());
    UseBackend(static_cast<uint16_t>(TestZemd().port), false);
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("zem-client-test-" + std::to_string(rd()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    ResetBackendForTest();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void UseBackend(uint16_t port, bool https) {
    BackendConfig config;
    config.host = u"127.0.0.1";
    config.port = port;
    config.use_https = https;
    SetBackend(config, AuthHeaderForToken(TestZemd().token));
  }

  fs::path WriteFile(const std::u16string& name, const std::string& content) {
    const fs::path p = dir_ / fs::path(name);
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }

  // The one request the service received since SetUp.
  ZemdRequest OnlyRequest() {
    auto requests = admin_.Requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? ZemdRequest{} : requests.front();
  }

  void ExpectCommonHeaders(const ZemdRequest& r, const std::string& content_type) {
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.Header("Authorization"), TestZemd().token);
    EXPECT_EQ(r.Header("User-Agent"), "ZemCloudDisk/1.0");
    EXPECT_EQ(r.Header("Content-Type"), content_type);
    EXPECT_EQ(r.Header("Expect"), "");  // no 100-continue round trip
  }

  ZemdAdmin admin_{TestZemd()};
  std::vector<long> waits_;
  ScopedRetrySleeper sleeper_{[this](std::chrono::milliseconds ms) { waits_.push_back(ms.count()); }};
  fs::path dir_;
};

TEST_F(ServiceClient, ListFolderSendsItsBodyAndReadsFoldersAndFiles) {
  const std::string docs = admin_.CreateFolder("0", "文档");
  const std::string f1 = admin_.CreateFile("0", "报告 1.txt", "hello");
  const std::string f2 = admin_.CreateFile("0", "b{]", "");
  ASSERT_FALSE(docs.empty());
  admin_.ClearRequests();

  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  ScopedOutputCapture cap;
  ASSERT_TRUE(ListFolder("0", folders, files));
  EXPECT_EQ(cap.all(), "");
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0].id, docs);
  EXPECT_EQ(folders[0].name, u"文档");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].id, f1);
  EXPECT_EQ(files[0].name, u"报告 1.txt");
  EXPECT_EQ(files[0].size, 5);
  EXPECT_EQ(files[0].sha256, "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824");
  EXPECT_EQ(files[1].id, f2);
  EXPECT_EQ(files[1].name, u"b{]");
  EXPECT_EQ(files[1].size, 0);

  const ZemdRequest r = OnlyRequest();
  ExpectCommonHeaders(r, kJsonType);
  EXPECT_EQ(r.path, "/zem/api/cloud-disk/folder/list");
  EXPECT_EQ(r.query, "");
  EXPECT_EQ(r.body, "{\"parent_id\":\"0\",\"owner_type\":1}");

  // Appends to what the caller already holds.
  folders.clear();
  ASSERT_TRUE(ListFolder(docs, folders, files));
  EXPECT_TRUE(folders.empty());
  EXPECT_EQ(files.size(), 2u);
}

TEST_F(ServiceClient, SharedRecycleBinAndQuotaRequests) {
  const std::string f = admin_.CreateFile("0", "gone.txt", "12345678");
  admin_.CreateFolder("0", "d");
  admin_.CreateFile("0", "kept.txt", "ab");
  ASSERT_TRUE(admin_.Recycle(f));
  admin_.ClearRequests();

  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files, recycled;
  QuotaInfo quota;
  ASSERT_TRUE(ListSharedToMe(folders, files));
  EXPECT_TRUE(folders.empty());
  EXPECT_TRUE(files.empty());
  ASSERT_TRUE(ListRecycleBin(recycled));
  ASSERT_EQ(recycled.size(), 1u);
  EXPECT_EQ(recycled[0].id, f);
  EXPECT_EQ(recycled[0].name, u"gone.txt");
  EXPECT_EQ(recycled[0].size, 8);
  ASSERT_TRUE(GetQuota(quota));
  EXPECT_EQ(quota.used, 10);
  EXPECT_EQ(quota.total, 10LL << 30);
  EXPECT_EQ(quota.file_count, 1);
  EXPECT_EQ(quota.folder_count, 1);

  const auto requests = admin_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].path, "/zem/api/cloud-disk/share/shared-to-me");
  EXPECT_EQ(requests[0].body, "{}");
  EXPECT_EQ(requests[1].path, "/zem/api/cloud-disk/file/list");
  EXPECT_EQ(requests[1].body, "{\"owner_type\":1,\"owner_id\":0,\"status\":2,\"page\":1,\"pageSize\":500}");
  EXPECT_EQ(requests[2].path, "/zem/api/cloud-disk/quota");
  EXPECT_EQ(requests[2].body, "{}");
  for (const auto& r : requests) ExpectCommonHeaders(r, kJsonType);

  // A total of 0 fails although the exchange succeeded.
  ASSERT_TRUE(admin_.SetQuotaTotal(0));
  QuotaInfo zero;
  EXPECT_FALSE(GetQuota(zero));
  EXPECT_EQ(zero.used, 10);
}

TEST_F(ServiceClient, StatusFailuresPrintTheirLineAndAppendNothing) {
  admin_.CreateFolder("0", "d");
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  {
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/folder/list", "status", 1, "\"status\":500"));
    ScopedOutputCapture cap;
    EXPECT_FALSE(ListFolder("0", folders, files));
    EXPECT_EQ(cap.err(), "[HTTP-ERR] folder-list got 500\n");
  }
  {
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/quota", "status", 1, "\"status\":403"));
    ScopedOutputCapture cap;
    QuotaInfo q;
    EXPECT_FALSE(GetQuota(q));
    EXPECT_EQ(cap.err(),
              "[HTTP-AUTH] quota got 403 — BIZ_TOKEN 失效，用 keygate.exe 刷新凭据后再重启 corvane\n");
  }
  {
    // A token the service does not know: a real 401.
    SetBackend(Backend(), AuthHeaderForToken("not-a-token"));
    ScopedOutputCapture cap;
    EXPECT_FALSE(RecycleFile("1"));
    EXPECT_EQ(cap.err(),
              "[HTTP-AUTH] recycle got 401 — BIZ_TOKEN 失效，用 keygate.exe 刷新凭据后再重启 corvane\n");
  }
  EXPECT_TRUE(folders.empty());
  EXPECT_TRUE(files.empty());
}

TEST_F(ServiceClient, BusinessFailureAndCutAnswers) {
  admin_.CreateFolder("0", "d");
  admin_.CreateFile("0", "f", "x");
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  {
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/folder/list", "business", 1));
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/file/list", "business", 1));
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/share/shared-to-me", "business", 1));
    ScopedOutputCapture cap;
    EXPECT_FALSE(ListFolder("0", folders, files));
    EXPECT_FALSE(ListRecycleBin(files));
    EXPECT_FALSE(ListSharedToMe(folders, files));
    EXPECT_EQ(cap.err(),
              "[FOLDER-LIST-ERR] business success=false, body[0..200]="
              "{\"success\":false,\"message\":\"injected business failure\"}\n"
              "[RECYCLE-LIST-ERR] business success=false\n"
              "[SHARED-TO-ME-ERR] business success=false, body[0..200]="
              "{\"success\":false,\"message\":\"injected business failure\"}\n");
    EXPECT_TRUE(folders.empty());
    EXPECT_TRUE(files.empty());
  }
  // A body that breaks off after the folders array is not a listing: half of
  // it would look like a folder whose files were all removed.
  const std::string full = admin_.RawPost("/zem/api/cloud-disk/folder/list",
                                          "{\"parent_id\":\"0\",\"owner_type\":1}");
  const size_t files_at = full.find("\"files\"");
  ASSERT_NE(files_at, std::string::npos);
  ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/folder/list", "cut", 1,
                                 Cat("\"after_bytes\":", files_at + 12)));
  ScopedOutputCapture cap;
  EXPECT_FALSE(ListFolder("0", folders, files));
  EXPECT_TRUE(folders.empty());
  EXPECT_TRUE(files.empty());
  EXPECT_EQ(cap.err().rfind(Cat("[HTTP-ERR] folder-list answer broke off after ", files_at + 12,
                                " bytes (err="),
                            0),
            0u)
      << cap.err();
}

// A service that stops sending, or sends slowly, or a caller that gives up:
// every exchange ends, as a failure, within its limits.
TEST_F(ServiceClient, StalledSlowAndCancelledExchangesEnd) {
  using Clock = std::chrono::steady_clock;
  const std::string id = admin_.CreateFile("0", "s.bin", std::string(200000, 's'));
  const std::string path = "/zem/api/cloud-disk/file/download?id=" + id;
  auto ms_since = [](Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
  };
  {
    // Part of the body, then silence: the receive idle limit ends it.
    ASSERT_TRUE(admin_.InjectFault(path.substr(0, path.find('?')), "stall", 1,
                                   "\"after_bytes\":1000,\"stall_ms\":20000"));
    platform::HttpRequest r = MakeServiceRequest("GET", path);
    r.timeouts.receive_ms = 1500;
    size_t got = 0;
    r.body_sink = [&](std::string_view chunk) { return got += chunk.size(), true; };
    const auto start = Clock::now();
    const auto result = platform::PerformHttp(r);
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(result.timed_out);
    EXPECT_FALSE(result.cancelled);
    EXPECT_EQ(result.failed_stage, platform::HttpStage::kReceive);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(got, 1000u);
    EXPECT_LT(ms_since(start), 8000);
  }
  {
    // The same stall with a caller that cancels: it ends within about a
    // second of the cancel, long before the idle limit.
    ASSERT_TRUE(admin_.InjectFault(path.substr(0, path.find('?')), "stall", 1,
                                   "\"after_bytes\":1000,\"stall_ms\":20000"));
    platform::HttpRequest r = MakeServiceRequest("GET", path);
    std::atomic<bool> stop{false};
    r.cancelled = [&] { return stop.load(); };
    r.body_sink = [](std::string_view) { return true; };
    const auto start = Clock::now();
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(800));
      stop = true;
    });
    const auto result = platform::PerformHttp(r);
    canceller.join();
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(result.cancelled);
    EXPECT_FALSE(result.timed_out);
    EXPECT_LT(ms_since(start), 5000);
  }
  {
    // A trickle keeps moving, so it is not a stall: the whole body arrives.
    ASSERT_TRUE(admin_.InjectFault(path.substr(0, path.find('?')), "trickle", 1,
                                   "\"chunk_bytes\":50000,\"interval_ms\":400"));
    platform::HttpRequest r = MakeServiceRequest("GET", path);
    r.timeouts.receive_ms = 1500;
    size_t got = 0;
    r.body_sink = [&](std::string_view chunk) { return got += chunk.size(), true; };
    const auto result = platform::PerformHttp(r);
    EXPECT_TRUE(result.ok());
    EXPECT_FALSE(result.read_error);
    EXPECT_EQ(got, 200000u);
  }
  {
    // A listing stalled after its status and then cancelled: the listing
    // fails with its line.
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/folder/list", "stall", 1,
                                   "\"after_bytes\":5,\"stall_ms\":20000"));
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      stop = true;
    });
    std::vector<FolderEntry> folders;
    std::vector<FileEntry> files;
    ScopedOutputCapture cap;
    const auto start = Clock::now();
    EXPECT_FALSE(ListFolder("0", folders, files, [&] { return stop.load(); }));
    canceller.join();
    EXPECT_LT(ms_since(start), 5000);
    EXPECT_TRUE(files.empty());
    EXPECT_EQ(cap.err(), "[HTTP-ERR] folder-list exchange cancelled\n");
  }
}

// An answer larger than the limit is refused whole, never kept in part.
TEST_F(ServiceClient, AnswersBeyondTheLimitAreRefused) {
  for (int i = 0; i < 20; ++i) admin_.CreateFolder("0", "folder-" + std::to_string(i));
  std::string answer;
  ScopedOutputCapture cap;
  EXPECT_FALSE(JsonExchange("folder-list", "/zem/api/cloud-disk/folder/list",
                            "{\"parent_id\":\"0\",\"owner_type\":1}", &answer, nullptr, 300));
  EXPECT_EQ(answer, "");
  EXPECT_EQ(cap.err(), "[HTTP-ERR] folder-list answer larger than 300 bytes refused\n");
  EXPECT_TRUE(JsonExchange("folder-list", "/zem/api/cloud-disk/folder/list",
                           "{\"parent_id\":\"0\",\"owner_type\":1}", &answer));
  EXPECT_GT(answer.size(), 300u);
}

// A token holding a line break never adds header lines to a request.
TEST_F(ServiceClient, HeaderLinesWithLineBreaksAreNeverSent) {
  BackendConfig config;
  config.host = u"127.0.0.1";
  config.port = static_cast<uint16_t>(TestZemd().port);
  SetBackend(config, AuthHeaderForToken(TestZemd().token + "\r\nX-Injected: yes"));
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  ScopedOutputCapture cap;
  EXPECT_FALSE(ListFolder("0", folders, files));
  EXPECT_EQ(cap.err(), "[HTTP-ERR] folder-list header line with a line break refused\n");
  // The exchange itself refuses such a line, whoever built the request.
  platform::HttpRequest r = MakeServiceRequest("GET", "/zem/api/cloud-disk/quota");
  r.headers.push_back(u"X-Other: a\nb");
  const auto result = platform::PerformHttp(r);
  EXPECT_EQ(result.failed_stage, platform::HttpStage::kOpenRequest);
  EXPECT_TRUE(admin_.Requests().empty());
}

TEST_F(ServiceClient, RetryLinesForTransientAndPermanentFailures) {
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  {
    // Success on the third attempt.
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/folder/list", "status", 2, "\"status\":503"));
    ScopedOutputCapture cap;
    EXPECT_TRUE(WithRetry("folder-list", [&] { return ListFolder("0", folders, files); }));
    EXPECT_EQ(cap.err(),
              "[HTTP-ERR] folder-list got 503\n"
              "[RETRY] folder-list failed; sleep 1000ms then attempt 2\n"
              "[HTTP-ERR] folder-list got 503\n"
              "[RETRY] folder-list failed; sleep 2000ms then attempt 3\n");
    EXPECT_EQ(admin_.Requests().size(), 3u);
  }
  {
    // A dropped connection fails silently.
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/file/recycle", "drop", 1));
    ScopedOutputCapture cap;
    EXPECT_FALSE(RecycleFile("1"));
    EXPECT_EQ(cap.all(), "");
  }
  {
    // Nothing listens: no [HTTP-…] line, only the retry lines.
    UseBackend(1, false);
    waits_.clear();
    ScopedOutputCapture cap;
    EXPECT_FALSE(WithRetry("folder-list", [&] { return ListFolder("0", folders, files); }));
    EXPECT_EQ(cap.err(),
              "[RETRY] folder-list failed; sleep 1000ms then attempt 2\n"
              "[RETRY] folder-list failed; sleep 2000ms then attempt 3\n"
              "[RETRY] folder-list failed; sleep 4000ms then attempt 4\n"
              "[RETRY-GIVEUP] folder-list failed after 4 attempts\n");
    EXPECT_EQ(waits_, (std::vector<long>{1000, 2000, 4000}));
  }
  {
    // TLS against the plain-HTTP port: the send fails, silently.
    UseBackend(static_cast<uint16_t>(TestZemd().port), true);
    ScopedOutputCapture cap;
    QuotaInfo q;
    EXPECT_FALSE(GetQuota(q));
    EXPECT_EQ(cap.all(), "");
  }
  EXPECT_TRUE(folders.empty());
  EXPECT_TRUE(files.empty());
}

TEST_F(ServiceClient, RenameAndRecycleSendTheirBodies) {
  const std::string id = admin_.CreateFile("0", "old.txt", "abc");
  admin_.ClearRequests();
  ScopedOutputCapture cap;
  ASSERT_TRUE(RenameFile(id, u"新 \"q\" a\\b\x01.txt"));
  ASSERT_TRUE(RecycleFile(id));
  EXPECT_EQ(cap.all(), "");

  const auto requests = admin_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  ExpectCommonHeaders(requests[0], kJsonType);
  EXPECT_EQ(requests[0].path, "/zem/api/cloud-disk/file/rename");
  EXPECT_EQ(requests[0].body,
            "{\"id\":\"" + id + "\",\"new_name\":\"新 \\\"q\\\" a\\\\b\\u0001.txt\"}");
  ExpectCommonHeaders(requests[1], kJsonType);
  EXPECT_EQ(requests[1].path, "/zem/api/cloud-disk/file/recycle");
  EXPECT_EQ(requests[1].body, "{\"id\":\"" + id + "\"}");

  // The service read back the same name, and the file is in the recycle bin.
  std::vector<FileEntry> recycled;
  ASSERT_TRUE(ListRecycleBin(recycled));
  ASSERT_EQ(recycled.size(), 1u);
  EXPECT_EQ(recycled[0].id, id);
  const auto tree = admin_.Tree();
  ASSERT_NE(tree.Find("files"), nullptr);
  ASSERT_EQ(tree.Find("files")->items.size(), 1u);
  EXPECT_EQ(tree.Find("files")->items[0].Str("name"), "新 \"q\" a\\b\x01.txt");
  EXPECT_EQ(tree.Find("files")->items[0].Int("status"), 2);
}

TEST_F(ServiceClient, UnsafeIdsAreRefusedBeforeAnythingIsSent) {
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  std::string file_id = "unchanged";
  const fs::path p = WriteFile(u"a.txt", "x");
  ScopedOutputCapture cap;
  EXPECT_FALSE(RecycleFile("1\",\"id\":\"2"));
  EXPECT_FALSE(RenameFile("1 2", u"n"));
  EXPECT_FALSE(ListFolder("0\",\"owner_type\":2,\"x\":\"", folders, files));
  EXPECT_FALSE(UploadSimple(p, u"0&owner_type=2", file_id, nullptr));
  EXPECT_EQ(cap.err(),
            "[ID-ERR] recycle unsafe id refused: 1\",\"id\":\"2\n"
            "[ID-ERR] rename unsafe id refused: 1 2\n"
            "[ID-ERR] folder-list unsafe id refused: 0\",\"owner_type\":2,\"x\":\"\n"
            "[ID-ERR] upload-simple unsafe id refused: 0&owner_type=2\n");
  EXPECT_EQ(file_id, "unchanged");
  // The service may still be logging the previous test's cut-off upload;
  // what matters is that nothing for this file was sent.
  for (const auto& r : admin_.Requests()) {
    EXPECT_EQ(r.query.find("name=big.bin"), std::string::npos) << r.path << "?" << r.query;
  }
}

TEST_F(ServiceClient, UploadStreamsTheFileWithProgress) {
  std::string content(10 << 20, '\0');
  std::mt19937 rng(7);
  for (auto& c : content) c = static_cast<char>(rng());
  const fs::path p = WriteFile(u"报告 1.txt", content);
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  std::string file_id;
  ScopedOutputCapture cap;
  ASSERT_TRUE(UploadSimple(p, u"0", file_id,
                           [&](uint64_t sent, uint64_t total) { calls.emplace_back(sent, total); }));
  std::string expected_lines;
  for (int i = 1; i <= 10; ++i) {
    expected_lines += Cat("[UPLOAD-PROG] 报告 1.txt ", uint64_t(i) << 20, "/", 10 << 20, " (",
                          i * 10, "%)\n");
  }
  EXPECT_EQ(cap.out(), expected_lines);
  EXPECT_EQ(cap.err(), "");
  ASSERT_EQ(calls.size(), 11u);
  EXPECT_EQ(calls.front(), std::make_pair(uint64_t{0}, uint64_t{10 << 20}));
  EXPECT_EQ(calls.back(), std::make_pair(uint64_t{10 << 20}, uint64_t{10 << 20}));

  const ZemdRequest r = OnlyRequest();
  ExpectCommonHeaders(r, "application/octet-stream");
  EXPECT_EQ(r.path, "/zem/api/cloud-disk/file/upload-simple");
  EXPECT_EQ(r.query, "folder_id=0&owner_type=1&name=%E6%8A%A5%E5%91%8A%201.txt");
  EXPECT_EQ(r.body_length, uint64_t{10 << 20});
  EXPECT_EQ(r.Header("Content-Length"), std::to_string(10 << 20));

  // The new file holds the bytes: read it back through a download.
  ASSERT_FALSE(file_id.empty());
  platform::HttpRequest get = MakeServiceRequest("GET", "/zem/api/cloud-disk/file/download?id=" + file_id);
  std::string downloaded;
  get.body_sink = [&](std::string_view chunk) {
    downloaded.append(chunk);
    return true;
  };
  const auto result = platform::PerformHttp(get);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.status, 200);
  EXPECT_FALSE(result.read_error);
  EXPECT_TRUE(downloaded == content);
}

TEST_F(ServiceClient, UploadEdgeCases) {
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  auto record = [&](uint64_t sent, uint64_t total) { calls.emplace_back(sent, total); };
  std::string file_id;
  {
    // Zero bytes: one progress call with (0, 0), no progress line.
    ScopedOutputCapture cap;
    ASSERT_TRUE(UploadSimple(WriteFile(u"empty", ""), u"0", file_id, record));
    EXPECT_EQ(cap.all(), "");
    EXPECT_EQ(calls, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 0}}));
    const ZemdRequest r = OnlyRequest();
    EXPECT_EQ(r.body_length, 0u);
    EXPECT_EQ(r.Header("Content-Length"), "0");
  }
  {
    // Zero bytes and a failing answer: (0, 0) is still reported after the
    // send.
    calls.clear();
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/file/upload-simple", "status", 1,
                                   "\"status\":500"));
    ScopedOutputCapture cap;
    EXPECT_FALSE(UploadSimple(WriteFile(u"empty2", ""), u"0", file_id, record));
    EXPECT_EQ(calls, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 0}}));
    EXPECT_EQ(cap.err(), "[HTTP-ERR] upload-simple got 500\n");
  }
  {
    // 401: the status line only, no [UPLOAD-ERR]; file_id unchanged.
    admin_.ClearRequests();
    file_id = "unchanged";
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/file/upload-simple", "status", 1,
                                   "\"status\":401"));
    ScopedOutputCapture cap;
    EXPECT_FALSE(UploadSimple(WriteFile(u"a.txt", "abc"), u"0", file_id, nullptr));
    EXPECT_EQ(cap.err(),
              "[HTTP-AUTH] upload-simple got 401 — BIZ_TOKEN 失效，用 keygate.exe 刷新凭据后再重启 corvane\n");
    EXPECT_EQ(file_id, "unchanged");
  }
  {
    // A 200 answer without file_id.
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/file/upload-simple", "business", 1));
    ScopedOutputCapture cap;
    EXPECT_FALSE(UploadSimple(WriteFile(u"b.txt", "abc"), u"0", file_id, nullptr));
    EXPECT_EQ(cap.err(),
              "[UPLOAD-ERR] unexpected response: "
              "{\"success\":false,\"message\":\"injected business failure\"}\n");
    EXPECT_EQ(file_id, "unchanged");
  }
  {
    // A file that cannot be read: silent.
    ScopedOutputCapture cap;
    EXPECT_FALSE(UploadSimple(dir_ / "missing", u"0", file_id, nullptr));
    EXPECT_EQ(cap.all(), "");
  }
}

TEST_F(ServiceClient, UploadOfAShrinkingFileFailsAndStoresNothing) {
  const fs::path p = WriteFile(u"shrinks.bin", std::string(4 << 20, 'z'));
  std::string file_id = "unchanged";
  ScopedOutputCapture cap;
  const bool ok = UploadSimple(p, u"0", file_id, [&](uint64_t sent, uint64_t) {
    if (sent == (1u << 20)) fs::resize_file(p, 1 << 20);  // cut to what was sent
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(file_id, "unchanged");
  EXPECT_EQ(cap.err(), "[UPLOAD-ERR] file ended early at offset=1048576 of 4194304 bytes\n");
  // The service notices the short body only when the connection closes; let
  // it finish with this request before the tree is read (and before the next
  // test clears the request log).
  for (int i = 0; i < 100; ++i) {
    bool logged = false;
    for (const auto& r : admin_.Requests()) logged |= r.query.find("shrinks.bin") != std::string::npos;
    if (logged) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const auto tree = admin_.Tree();
  ASSERT_NE(tree.Find("files"), nullptr);
  EXPECT_TRUE(tree.Find("files")->items.empty());
}

TEST_F(ServiceClient, UploadOverFourGigabytesIsRefusedBeforeSending) {
  const fs::path p = dir_ / "big.bin";
  std::ofstream(p, std::ios::binary).close();
  fs::resize_file(p, 4294967296ull);  // sparse: one byte over the limit
  std::string file_id = "unchanged";
  ScopedOutputCapture cap;
  EXPECT_FALSE(UploadSimple(p, u"0", file_id, nullptr));
  EXPECT_EQ(cap.err(), "[UPLOAD-ERR] file > 4GB not supported in upload-simple stream\n");
  EXPECT_EQ(file_id, "unchanged");
  // The service may still be logging the previous test's cut-off upload;
  // what matters is that nothing for this file was sent.
  for (const auto& r : admin_.Requests()) {
    EXPECT_EQ(r.query.find("name=big.bin"), std::string::npos) << r.path << "?" << r.query;
  }
}

TEST_F(ServiceClient, ExchangesRunOnManyThreadsAtOnce) {
  admin_.CreateFolder("0", "d");
  admin_.CreateFile("0", "f", "x");
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        std::vector<FolderEntry> folders;
        std::vector<FileEntry> files;
        QuotaInfo quota;
        if (ListFolder("0", folders, files) && folders.size() == 1 && files.size() == 1 &&
            GetQuota(quota) && quota.file_count == 1) {
          ++good;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 60);
}

// The exchange itself, as both platform implementations must behave.
TEST_F(ServiceClient, ExchangeStagesAndSinks) {
  const std::string id = admin_.CreateFile("0", "d.bin", std::string(3 << 20, 'q'));
  const std::string path = "/zem/api/cloud-disk/file/download?id=" + id;
  {
    // The sink stops after the first chunk: the status is still there.
    platform::HttpRequest r = MakeServiceRequest("GET", path);
    size_t got = 0;
    r.body_sink = [&](std::string_view chunk) {
      got += chunk.size();
      return false;
    };
    const auto result = platform::PerformHttp(r);
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.status, 200);
    EXPECT_GT(got, 0u);
    EXPECT_LT(got, size_t{3 << 20});
  }
  {
    // on_status refuses: the sink is never called.
    platform::HttpRequest r = MakeServiceRequest("GET", path);
    int seen = 0;
    bool sunk = false;
    r.on_status = [&](int status) { return seen = status, false; };
    r.body_sink = [&](std::string_view) { return sunk = true; };
    const auto result = platform::PerformHttp(r);
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(seen, 200);
    EXPECT_FALSE(sunk);
  }
  {
    // A reader that runs out before the announced length fails at the write
    // stage, with what was sent counted.
    platform::HttpRequest r = MakeServiceRequest("POST", "/zem/api/cloud-disk/file/upload-simple?folder_id=0&owner_type=1&name=x");
    r.body_length = 3000000;
    r.body_piece = 1 << 20;
    uint64_t handed = 0;
    r.body_reader = [&](char* buf, size_t cap) -> size_t {
      if (handed >= 1000000) return 0;
      const size_t n = std::min<size_t>(cap, 1000000 - handed);
      std::fill(buf, buf + n, 'r');
      handed += n;
      return n;
    };
    const auto result = platform::PerformHttp(r);
    EXPECT_EQ(result.failed_stage, platform::HttpStage::kWrite);
    EXPECT_EQ(result.body_bytes_sent, 1000000u);
  }
  {
    // A receive time-out, when one is set, ends a stalled exchange at the
    // receive stage.
    ASSERT_TRUE(admin_.InjectFault("/zem/api/cloud-disk/quota", "delay", 1, "\"delay_ms\":4000"));
    platform::HttpRequest r = MakeServiceRequest("POST", "/zem/api/cloud-disk/quota");
    r.body = "{}";
    r.timeouts.receive_ms = 500;
    const auto start = std::chrono::steady_clock::now();
    const auto result = platform::PerformHttp(r);
    EXPECT_EQ(result.failed_stage, platform::HttpStage::kReceive);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(3000))
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    EXPECT_GE(took, std::chrono::milliseconds(400));
  }
  {
    // Nothing listens: the send stage fails with the system's error.
    UseBackend(1, false);
    const auto result = platform::PerformHttp(MakeServiceRequest("GET", path));
    EXPECT_EQ(result.failed_stage, platform::HttpStage::kSend);
    EXPECT_NE(result.error.os_error(), 0u);
    EXPECT_EQ(result.status, 0);
    // The failure names the exchange and the stage it reached.
    EXPECT_EQ(result.error.context(), "GET http://127.0.0.1:1" + path + " (sending the request)");
  }
}

}  // namespace
}  // namespace zem::testing

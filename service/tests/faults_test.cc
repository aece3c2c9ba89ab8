// Injected faults and the request log, over real HTTP.
#include <gtest/gtest.h>

#include <chrono>

#include "service/sha256.h"
#include "service/testing/zemd_harness.h"
#include "service/tests/api_client.h"
#include "service/tests/raw_socket.h"

namespace zem::zemd_test {
namespace {

using zem::testing::FaultRule;
using zem::testing::ZemdServer;
using Clock = std::chrono::steady_clock;

constexpr char kList[] = "/zem/api/cloud-disk/folder/list";
constexpr char kDownload[] = "/zem/api/cloud-disk/file/download";

class FaultsTest : public ::testing::Test {
 protected:
  FaultsTest() : api_(zemd_.port(), zemd_.token()) {}
  void SetUp() override { ASSERT_TRUE(zemd_.ok()) << zemd_.error(); }

  FaultRule Rule(const std::string& path, const std::string& kind) {
    FaultRule f;
    f.path = path;
    f.kind = kind;
    return f;
  }

  ZemdServer zemd_;
  ApiClient api_;
};

TEST_F(FaultsTest, StatusFaultHitsTheNextNRequestsOfThatPathOnly) {
  FaultRule f = Rule(kList, "status");
  f.status = 503;
  f.count = 2;
  ASSERT_TRUE(zemd_.InjectFault(f)) << zemd_.last_admin_error();
  EXPECT_EQ(api_.Quota().status, 200);  // another path is untouched
  EXPECT_EQ(api_.ListFolder("0").status, 503);
  EXPECT_EQ(api_.ListFolder("0").status, 503);
  EXPECT_EQ(api_.ListFolder("0").status, 200);
  auto log = zemd_.Requests();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1].status, 503);
  EXPECT_EQ(log[1].fault, "status");
  EXPECT_EQ(log[3].status, 200);
  EXPECT_EQ(log[3].fault, "");
}

TEST_F(FaultsTest, BusinessFaultAnswersSuccessFalseWithStatus200) {
  ASSERT_TRUE(zemd_.InjectFault(Rule("/zem/api/cloud-disk/file/upload-simple", "business")));
  Answer a = api_.Upload("0", "a.txt", "abc");
  EXPECT_EQ(a.status, 200);
  EXPECT_TRUE(a.BusinessFailure());
  EXPECT_TRUE(ScanFileId(a.body).empty());
  // A faulted upload stores nothing, but the log shows what was sent.
  EXPECT_TRUE(zemd_.GetTree().files.empty());
  auto log = zemd_.Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].body, "abc");
  EXPECT_EQ(log[0].body_sha256, zem::zemd::Sha256Hex("abc"));
}

TEST_F(FaultsTest, DelayWaitsThenAnswersNormally) {
  FaultRule f = Rule(kList, "delay");
  f.delay_ms = 400;
  ASSERT_TRUE(zemd_.InjectFault(f));
  auto start = Clock::now();
  Answer a = api_.ListFolder("0");
  auto elapsed = Clock::now() - start;
  EXPECT_EQ(a.status, 200);
  EXPECT_FALSE(a.BusinessFailure());
  EXPECT_GE(elapsed, std::chrono::milliseconds(400));
}

TEST_F(FaultsTest, CutSendsTheFullLengthHeaderThenFewerBytesAndCloses) {
  std::string content(100000, 'z');
  std::string id = zemd_.CreateFile("0", "big.bin", content);
  FaultRule f = Rule(kDownload, "cut");
  f.after_bytes = 1000;
  ASSERT_TRUE(zemd_.InjectFault(f));
  std::string reply = RawGet(zemd_.port(), std::string(kDownload) + "?id=" + id, zemd_.token());
  EXPECT_NE(reply.find("HTTP/1.1 200"), std::string::npos) << reply.substr(0, 200);
  EXPECT_NE(reply.find("Content-Length: 100000"), std::string::npos);
  EXPECT_EQ(BodyOf(reply).size(), 1000u);
  // The fault is used up: the next download is whole.
  EXPECT_EQ(BodyOf(RawGet(zemd_.port(), std::string(kDownload) + "?id=" + id, zemd_.token())),
            content);
}

TEST_F(FaultsTest, CutAppliesToJsonAnswersToo) {
  FaultRule f = Rule(kList, "cut");
  f.after_bytes = 5;
  ASSERT_TRUE(zemd_.InjectFault(f));
  std::string reply = RawPost(zemd_.port(), kList, zemd_.token(), "{\"parent_id\":\"0\"}");
  EXPECT_EQ(BodyOf(reply), "{\"suc");
}

TEST_F(FaultsTest, DropClosesWithoutAnyResponse) {
  ASSERT_TRUE(zemd_.InjectFault(Rule("/zem/api/cloud-disk/quota", "drop")));
  std::string reply = RawPost(zemd_.port(), "/zem/api/cloud-disk/quota", zemd_.token(), "{}");
  EXPECT_EQ(reply, "");
  EXPECT_EQ(api_.Quota().status, 200);  // the server itself is fine
  auto log = zemd_.Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].status, 0);
  EXPECT_EQ(log[0].fault, "drop");
}

TEST_F(FaultsTest, TrickleDeliversEverythingSlowly) {
  std::string id = zemd_.CreateFile("0", "t.bin", std::string(40, 'q'));
  FaultRule f = Rule(kDownload, "trickle");
  f.chunk_bytes = 10;
  f.interval_ms = 100;
  ASSERT_TRUE(zemd_.InjectFault(f));
  auto start = Clock::now();
  Answer a = api_.Download(id);
  auto elapsed = Clock::now() - start;
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, std::string(40, 'q'));
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));  // 4 chunks, 3 waits
}

TEST_F(FaultsTest, StallSendsPartOfTheBodyThenHoldsTheConnectionSilent) {
  std::string id = zemd_.CreateFile("0", "s.bin", std::string(5000, 's'));
  FaultRule f = Rule(kDownload, "stall");
  f.after_bytes = 100;
  f.stall_ms = 1500;
  ASSERT_TRUE(zemd_.InjectFault(f));
  auto start = Clock::now();
  std::string reply = RawGet(zemd_.port(), std::string(kDownload) + "?id=" + id, zemd_.token());
  auto elapsed = Clock::now() - start;
  EXPECT_NE(reply.find("Content-Length: 5000"), std::string::npos) << reply.substr(0, 200);
  EXPECT_EQ(BodyOf(reply), std::string(100, 's'));
  EXPECT_GE(elapsed, std::chrono::milliseconds(1400));  // held open, silent
  auto log = zemd_.Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].fault, "stall");
}

TEST_F(FaultsTest, PrefixAndMethodSelectWhichRequestsAreHit) {
  FaultRule f = Rule("/zem/api/cloud-disk/file/*", "status");
  f.status = 500;
  f.method = "GET";
  ASSERT_TRUE(zemd_.InjectFault(f));
  std::string id = zemd_.CreateFile("0", "a.txt", "a");
  EXPECT_EQ(api_.Recycle(id).status, 200);      // POST: not selected
  EXPECT_EQ(api_.Download(id).status, 500);     // GET under the prefix
  auto listed = zemd_.Admin("GET", "/admin/faults");
  EXPECT_NE(listed.body.find("\"faults\":[]"), std::string::npos) << listed.body;
}

TEST_F(FaultsTest, InvalidFaultsAreRefusedAndClearRemovesPending) {
  EXPECT_EQ(zemd_.Admin("POST", "/admin/faults", "{\"path\":\"/x\",\"kind\":\"explode\"}").status,
            400);
  EXPECT_EQ(zemd_.Admin("POST", "/admin/faults", "{\"kind\":\"drop\"}").status, 400);
  FaultRule f = Rule(kList, "status");
  f.count = 5;
  ASSERT_TRUE(zemd_.InjectFault(f));
  ASSERT_TRUE(zemd_.ClearFaults());
  EXPECT_EQ(api_.ListFolder("0").status, 200);
}

TEST_F(FaultsTest, RequestLogRecordsWhatTheClientSent) {
  std::string big(100 * 1024, 'b');
  ASSERT_EQ(api_.Upload("0", "报告 1.txt", big).status, 200);
  ASSERT_EQ(api_.Rename("9999", "x\\\"y").status, 200);
  auto log = zemd_.Requests();
  ASSERT_EQ(log.size(), 2u);
  const auto& up = log[0];
  EXPECT_EQ(up.method, "POST");
  EXPECT_EQ(up.path, "/zem/api/cloud-disk/file/upload-simple");
  EXPECT_EQ(up.query, "folder_id=0&owner_type=1&name=%E6%8A%A5%E5%91%8A%201.txt");
  EXPECT_EQ(up.Header("authorization"), zemd_.token());
  EXPECT_EQ(up.Header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(up.body_length, big.size());
  EXPECT_EQ(up.body_sha256, zem::zemd::Sha256Hex(big));
  EXPECT_FALSE(up.body_stored);  // over 64 KiB: length and hash only
  EXPECT_EQ(log[1].body, "{\"id\":\"9999\",\"new_name\":\"x\\\"y\"}");
  EXPECT_TRUE(log[1].body_stored);
  EXPECT_GT(log[1].seq, up.seq);

  EXPECT_EQ(zemd_.Requests(up.seq).size(), 1u);
  ASSERT_TRUE(zemd_.ClearRequests());
  EXPECT_TRUE(zemd_.Requests().empty());
}

TEST_F(FaultsTest, AnUploadWhoseBodyEndsEarlyStoresNothing) {
  int fd = ConnectLoopback(zemd_.port());
  ASSERT_GE(fd, 0);
  SendAll(fd, "POST /zem/api/cloud-disk/file/upload-simple?folder_id=0&owner_type=1&name=x "
              "HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + zemd_.token() +
              "\r\nContent-Length: 100000\r\n\r\n" + std::string(5000, 'p'));
  ::shutdown(fd, SHUT_WR);
  ReceiveAll(fd);
  ::close(fd);
  // The server has finished the request once it is in the log.
  for (int i = 0; i < 100 && zemd_.Requests().empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto log = zemd_.Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].status, 200);
  EXPECT_TRUE(zemd_.GetTree().files.empty());
  EXPECT_TRUE(std::filesystem::is_empty(zemd_.data_dir() / "tmp"));
  EXPECT_TRUE(std::filesystem::is_empty(zemd_.data_dir() / "blobs"));
}

TEST_F(FaultsTest, LargeUploadsKeepAPipelinedConnectionInStep) {
  // Two large uploads and a listing sent back to back on one connection:
  // each body must be consumed exactly, never into the next request.
  std::string a(3 * 1024 * 1024 + 5, 'a'), b(1024 * 1024 + 1, 'b');
  auto upload = [&](const std::string& name, const std::string& body) {
    return "POST /zem/api/cloud-disk/file/upload-simple?folder_id=0&owner_type=1&name=" + name +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + zemd_.token() +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  std::string list = "{\"parent_id\":\"0\",\"owner_type\":1}";
  std::string requests = upload("a", a) + upload("b", b) +
                         "POST /zem/api/cloud-disk/folder/list HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         "Authorization: " + zemd_.token() + "\r\nContent-Length: " +
                         std::to_string(list.size()) + "\r\nConnection: close\r\n\r\n" + list;
  std::string replies = RawExchange(zemd_.port(), requests);
  size_t oks = 0;
  for (size_t p = replies.find("HTTP/1.1 200"); p != std::string::npos;
       p = replies.find("HTTP/1.1 200", p + 1)) {
    ++oks;
  }
  EXPECT_EQ(oks, 3u) << replies.substr(0, 500);
  auto files = ScanEntries(replies.substr(replies.rfind("HTTP/1.1")), "files");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].sha256, zem::zemd::Sha256Hex(a));
  EXPECT_EQ(files[1].sha256, zem::zemd::Sha256Hex(b));
  EXPECT_EQ(api_.Download(files[0].id).body, a);
}

TEST_F(FaultsTest, ResetRemovesEverything) {
  std::string id = zemd_.CreateFile("0", "a.txt", "a");
  ASSERT_FALSE(id.empty());
  api_.Quota();
  ASSERT_TRUE(zemd_.InjectFault(Rule(kList, "drop")));
  ASSERT_TRUE(zemd_.Reset());
  EXPECT_TRUE(zemd_.Requests().empty());
  EXPECT_EQ(api_.Quota().status, 401);  // users and tokens are gone too
  EXPECT_TRUE(std::filesystem::is_empty(zemd_.data_dir() / "blobs"));
  std::string token = zemd_.CreateUser("carol");
  ApiClient carol(zemd_.port(), token);
  EXPECT_EQ(carol.ListFolder("0").status, 200);  // no drop fault left
}

}  // namespace
}  // namespace zem::zemd_test

// Status check, retry policy, ids and the texts the operations build.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "client/auth_header.h"
#include "client/file_ops.h"
#include "client/http_status.h"
#include "client/retry.h"
#include "client/service_id.h"
#include "common/output.h"

namespace zem {
namespace {

TEST(CheckHttpStatus, PrintsOneLinePerFailure) {
  ScopedOutputCapture cap;
  EXPECT_TRUE(CheckHttpStatus("folder-list", 200));
  EXPECT_TRUE(CheckHttpStatus("folder-list", 299));
  EXPECT_EQ(cap.all(), "");
  EXPECT_FALSE(CheckHttpStatus("folder-list", 500));
  EXPECT_FALSE(CheckHttpStatus("rename", 401));
  EXPECT_FALSE(CheckHttpStatus("quota", 0));
  EXPECT_FALSE(CheckHttpStatus("recycle", 300));
  EXPECT_FALSE(CheckHttpStatus("recycle", 199));
  EXPECT_EQ(cap.err(),
            "[HTTP-ERR] folder-list got 500\n"
            "[HTTP-AUTH] rename got 401 — BIZ_TOKEN 失效，用 keygate.exe 刷新凭据后再重启 corvane\n"
            "[HTTP-ERR] quota query status failed\n"
            "[HTTP-ERR] recycle got 300\n"
            "[HTTP-ERR] recycle got 199\n");
  EXPECT_EQ(cap.out(), "");
}

struct RecordedWaits {
  std::vector<long> ms;
  ScopedRetrySleeper sleeper{[this](std::chrono::milliseconds d) { ms.push_back(d.count()); }};
};

TEST(WithRetry, GivesUpAfterFourAttemptsWithGrowingWaits) {
  RecordedWaits waits;
  ScopedOutputCapture cap;
  int calls = 0;
  EXPECT_FALSE(WithRetry("rt-upload", [&] { return ++calls, false; }));
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(waits.ms, (std::vector<long>{1000, 2000, 4000}));
  EXPECT_EQ(cap.err(),
            "[RETRY] rt-upload failed; sleep 1000ms then attempt 2\n"
            "[RETRY] rt-upload failed; sleep 2000ms then attempt 3\n"
            "[RETRY] rt-upload failed; sleep 4000ms then attempt 4\n"
            "[RETRY-GIVEUP] rt-upload failed after 4 attempts\n");
}

TEST(WithRetry, StopsAtTheFirstSuccess) {
  RecordedWaits waits;
  ScopedOutputCapture cap;
  int calls = 0;
  EXPECT_TRUE(WithRetry("upload", [&] { return ++calls == 3; }));
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(waits.ms, (std::vector<long>{1000, 2000}));
  EXPECT_EQ(cap.err(),
            "[RETRY] upload failed; sleep 1000ms then attempt 2\n"
            "[RETRY] upload failed; sleep 2000ms then attempt 3\n");
  calls = 0;
  EXPECT_TRUE(WithRetry("upload", [&] { return ++calls == 1; }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(waits.ms.size(), 2u);  // no wait before the first attempt
}

TEST(ServiceId, RefusesIdsThatWouldBreakARequest) {
  for (const char* good : {"0", "123", "f-7Hq2kX9pLm0a", "d_1.2~x", "a:b@c"}) {
    EXPECT_TRUE(IsSafeServiceId(good)) << good;
  }
  for (std::string bad : std::vector<std::string>{"", "a\"b", "a\\b", "1&owner_type=2", "1#x", "1?x", "a b", "50%",
                          "a+b", "a\nb", std::string("a\0b", 3), "\x7f", "\xe6\x8a\xa5"}) {
    EXPECT_FALSE(IsSafeServiceId(bad)) << bad;
  }
  ScopedOutputCapture cap;
  EXPECT_FALSE(CheckServiceId("rt-rename", "1\",\"new_name\":\"x\n"));
  EXPECT_TRUE(CheckServiceId("rt-rename", "42"));
  EXPECT_EQ(cap.err(), "[ID-ERR] rt-rename unsafe id refused: 1\",\"new_name\":\"x\\x0A\n");
}

TEST(RequestTexts, EncodeNamesAndBuildTheAuthorizationLine) {
  EXPECT_EQ(EncodeUploadName("报告 1.txt"), "%E6%8A%A5%E5%91%8A%201.txt");
  EXPECT_EQ(EncodeUploadName("Az09-._~+&=%/\\"), "Az09-._~%2B%26%3D%25%2F%5C");
  EXPECT_EQ(EscapeJsonName("a\"b\\c"), "a\\\"b\\\\c");
  EXPECT_EQ(EscapeJsonName("x\x01y\tz/é"), "x\\u0001y\\u0009z/é");
  EXPECT_EQ(AuthHeaderForToken("tok.en=="), u"Authorization: tok.en==");
}

}  // namespace
}  // namespace zem

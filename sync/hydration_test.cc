#include "sync/hydration.h"

#include <gtest/gtest.h>

#include <cctype>
#include <new>
#include <vector>

#include "common/output.h"
#include "platform/sha256.h"

namespace zem {
namespace {

struct Piece {
  uint32_t status;
  int64_t offset;
  int64_t length;
  std::string data;
};

class RecordingSink : public TransferSink {
 public:
  platform::Hresult Transfer(uint32_t status, const char* data, int64_t offset,
                             int64_t length) override {
    pieces.push_back({status, offset, length,
                      data ? std::string(data, static_cast<size_t>(length)) : std::string()});
    if (refuse_from >= 0 && static_cast<int>(pieces.size()) > refuse_from &&
        status == platform::kStatusSuccess) {
      return static_cast<platform::Hresult>(0x8007018eu);
    }
    return 0;
  }
  std::string Data() const {
    std::string s;
    for (const auto& p : pieces) s += p.data;
    return s;
  }
  std::vector<Piece> pieces;
  int refuse_from = -1;  // refuse transfers after this many
};

class FakeDownload : public DownloadSource {
 public:
  bool Download(const std::string& path, const std::function<bool()>& ready,
                const std::function<bool(std::string_view)>& body) override {
    paths.push_back(path);
    if (!status_ok) return false;
    if (!ready()) return true;
    for (size_t at = 0; at < content.size(); at += chunk) {
      const size_t n = std::min(chunk, content.size() - at);
      delivered += n;
      if (!body(std::string_view(content).substr(at, n))) break;
    }
    return true;
  }
  std::string content;
  size_t chunk = 16 * 1024;
  bool status_ok = true;
  size_t delivered = 0;
  std::vector<std::string> paths;
};

std::string Body(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 31 + (i >> 10));
  return s;
}

HydrationRequest Request(const std::string& identity, int64_t offset, int64_t length) {
  HydrationRequest r;
  r.identity = identity;
  r.path_utf8 = "/s/ZEM云盘/我的文档/a.bin";
  r.required_offset = offset;
  r.required_length = length;
  return r;
}

TEST(Hydration, TenByteFileIsOneFinalTransfer) {
  ScopedOutputCapture out;
  FakeDownload src;
  src.content = "0123456789";
  RecordingSink sink;
  RunHydration(Request("F:abc", 0, 10), src, sink);
  ASSERT_EQ(sink.pieces.size(), 1u);
  EXPECT_EQ(sink.pieces[0].offset, 0);
  EXPECT_EQ(sink.pieces[0].data, "0123456789");
  EXPECT_EQ(src.paths, std::vector<std::string>{"/zem/api/cloud-disk/file/download?id=abc"});
  EXPECT_EQ(out.out(),
            "[HYDRATE] file=/s/ZEM云盘/我的文档/a.bin id=abc offset=0 length=10\n"
            "[HYDRATE-OK] wrote 10 bytes (file id=abc, streamed 10B from HTTP)\n");
  EXPECT_EQ(out.err(), "");
}

TEST(Hydration, RestOfFileFromAnOffsetDropsTheBodyInFrontOfIt) {
  ScopedOutputCapture out;
  FakeDownload src;
  src.content = Body(3 << 20);
  src.chunk = 10000;  // chunks that straddle the offset
  RecordingSink sink;
  RunHydration(Request("F:x", 1 << 20, 2 << 20), src, sink);
  ASSERT_FALSE(sink.pieces.empty());
  EXPECT_EQ(sink.pieces[0].offset, 1 << 20);
  EXPECT_EQ(sink.Data(), src.content.substr(1 << 20));
  int64_t next = 1 << 20;
  for (size_t i = 0; i < sink.pieces.size(); ++i) {
    const auto& p = sink.pieces[i];
    EXPECT_EQ(p.offset, next);  // contiguous
    next += p.length;
    if (i + 1 < sink.pieces.size()) {
      EXPECT_EQ(p.length % 4096, 0) << i;
      EXPECT_GE(p.length, 512 * 1024) << i;
      EXPECT_LE(p.length, 1 << 20) << i;
    }
  }
  EXPECT_NE(out.out().find("[HYDRATE-OK] wrote 2097152 bytes (file id=x, streamed 3145728B from HTTP)\n"),
            std::string::npos);
}

TEST(Hydration, UnalignedSizeEndsInAnUnalignedTail) {
  ScopedOutputCapture out;
  FakeDownload src;
  src.content = Body(1300000);
  src.chunk = 65536;
  RecordingSink sink;
  RunHydration(Request("F:1", 0, 1300000), src, sink);
  ASSERT_EQ(sink.pieces.size(), 3u);
  EXPECT_EQ(sink.pieces[0].length, 524288);  // each time pending reached 512 KiB
  EXPECT_EQ(sink.pieces[1].length, 524288);
  EXPECT_EQ(sink.pieces[2].length, 1300000 - 2 * 524288);  // the tail, unaligned
  EXPECT_EQ(sink.Data(), src.content);
}

TEST(Hydration, ShortBodyWarnsAndEndsWithEndOfFile) {
  ScopedOutputCapture out;
  FakeDownload src;
  src.content = Body(5000);
  RecordingSink sink;
  RunHydration(Request("F:1", 0, 8000), src, sink);
  ASSERT_EQ(sink.pieces.size(), 2u);
  EXPECT_EQ(sink.pieces[0].length, 5000);  // transferred data stays transferred
  EXPECT_EQ(sink.pieces[1].status, platform::kStatusEndOfFile);
  EXPECT_EQ(sink.pieces[1].offset, 0);
  EXPECT_EQ(sink.pieces[1].length, 8000);
  EXPECT_EQ(out.err(), "[HYDRATE-WARN] expected 8000 but only wrote 5000\n");
}

TEST(Hydration, FailedExchangeReportsUnsuccessfulForTheRange) {
  ScopedOutputCapture out;
  FakeDownload src;
  src.status_ok = false;
  RecordingSink sink;
  RunHydration(Request("abc", 4096, 100), src, sink);
  ASSERT_EQ(sink.pieces.size(), 1u);
  EXPECT_EQ(sink.pieces[0].status, platform::kStatusUnsuccessful);
  EXPECT_EQ(sink.pieces[0].offset, 4096);
  EXPECT_EQ(sink.pieces[0].length, 100);
  EXPECT_EQ(out.err(), "[HYDRATE-ERR] HttpOpenFull failed for id=abc\n");
}

TEST(Hydration, IdThatWouldChangeTheQueryIsNotSent) {
  ScopedOutputCapture out;
  FakeDownload src;
  src.content = "secret";
  RecordingSink sink;
  RunHydration(Request("F:1&id=2", 0, 6), src, sink);
  EXPECT_TRUE(src.paths.empty());
  ASSERT_EQ(sink.pieces.size(), 1u);
  EXPECT_EQ(sink.pieces[0].status, platform::kStatusUnsuccessful);
  EXPECT_NE(out.err().find("[ID-ERR] hydrate-download unsafe id refused: 1&id=2"),
            std::string::npos)
      << out.err();
}

TEST(Hydration, RefusedTransferStopsTheDownload) {
  ScopedOutputCapture out;
  FakeDownload src;
  src.content = Body(4 << 20);
  RecordingSink sink;
  sink.refuse_from = 1;
  RunHydration(Request("F:1", 0, 4 << 20), src, sink);
  ASSERT_EQ(sink.pieces.size(), 3u);
  EXPECT_EQ(sink.pieces[2].status, platform::kStatusUnsuccessful);
  EXPECT_LT(src.delivered, src.content.size());  // the rest was never read
  EXPECT_EQ(out.err(), "[HYDRATE-ERR] CfExecute failed at offset=524288 hr=0x8007018e\n");
  EXPECT_EQ(out.out().find("HYDRATE-OK"), std::string::npos);
}

TEST(Hydration, NoBufferMeansNoMemoryWithoutAnErrorLine) {
  ScopedOutputCapture out;
  FakeDownload src;
  src.content = Body(100);
  RecordingSink sink;
  RunHydration(Request("F:1", 0, 100), src, sink, [] { return static_cast<char*>(nullptr); });
  ASSERT_EQ(sink.pieces.size(), 1u);
  EXPECT_EQ(sink.pieces[0].status, platform::kStatusNoMemory);
  EXPECT_EQ(src.delivered, 0u);
  EXPECT_EQ(out.err(), "");
}

TEST(Hydration, ZeroLengthFetchReadsNothing) {
  ScopedOutputCapture out;
  FakeDownload src;
  src.content = Body(100);
  RecordingSink sink;
  RunHydration(Request("F:z", 0, 0), src, sink);
  EXPECT_TRUE(sink.pieces.empty());
  EXPECT_NE(out.out().find("[HYDRATE-OK] wrote 0 bytes (file id=z, streamed 0B from HTTP)\n"),
            std::string::npos);
}

TEST(Hydration, TransferPendingKeepsTheUnalignedRemainder) {
  std::vector<char> buf(kHydrationBufferSize);
  HydrationState s;
  s.buffer = buf.data();
  s.next_offset = 8192;
  s.required_length = 1 << 20;
  s.end = 8192 + s.required_length;
  for (size_t i = 0; i < 10000; ++i) buf[i] = static_cast<char>(i);
  s.pending = 10000;
  RecordingSink sink;
  ASSERT_TRUE(TransferPending(s, false, sink));
  ASSERT_EQ(sink.pieces.size(), 1u);
  EXPECT_EQ(sink.pieces[0].offset, 8192);
  EXPECT_EQ(sink.pieces[0].length, 8192);
  EXPECT_EQ(s.pending, 10000u - 8192u);
  EXPECT_EQ(s.next_offset, 16384);
  EXPECT_EQ(s.written, 8192);
  EXPECT_EQ(buf[0], static_cast<char>(8192));  // the rest moved to the front

  s.pending = 4000;  // below one alignment unit: wait unless final
  ASSERT_TRUE(TransferPending(s, false, sink));
  EXPECT_EQ(sink.pieces.size(), 1u);
  ASSERT_TRUE(TransferPending(s, true, sink));
  EXPECT_EQ(sink.pieces.back().length, 4000);
  EXPECT_EQ(s.pending, 0u);
}


// Whole-file fetches with a listed size (and SHA-256) keep what arrived only
// when it matches; until the check has passed the range is never complete
// on the platform's side.
TEST(Hydration, WholeFileFetchIsCheckedAgainstTheListedSizeAndSha256) {
  const std::string content = Body(1 << 20);  // aligned: every piece could go early
  auto request = [&](const std::string& sha) {
    HydrationRequest r = Request("F:9", 0, static_cast<int64_t>(content.size()));
    r.file_size = static_cast<int64_t>(content.size());
    r.content_sha256 = sha;
    return r;
  };
  auto success_bytes = [](const RecordingSink& sink) {
    int64_t n = 0;
    for (const auto& p : sink.pieces) n += p.status == platform::kStatusSuccess ? p.length : 0;
    return n;
  };
  const std::string good_sha = platform::Sha256HexOf(content);
  {
    SCOPED_TRACE("matching, upper-case listed hash");
    ScopedOutputCapture out;
    FakeDownload src;
    src.content = content;
    RecordingSink sink;
    std::string upper = good_sha;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    RunHydration(request(upper), src, sink);
    EXPECT_EQ(sink.Data(), content);
    EXPECT_EQ(sink.pieces.back().offset + sink.pieces.back().length,
              static_cast<int64_t>(content.size()));
    EXPECT_LT(sink.pieces.back().offset, static_cast<int64_t>(content.size()));
    EXPECT_NE(out.out().find("[HYDRATE-OK] wrote 1048576 bytes (file id=9, streamed 1048576B"),
              std::string::npos);
    EXPECT_EQ(out.err(), "");
  }
  {
    SCOPED_TRACE("other content");
    ScopedOutputCapture out;
    FakeDownload src;
    src.content = content;
    src.content[12345] ^= 1;
    RecordingSink sink;
    RunHydration(request(good_sha), src, sink);
    EXPECT_LT(success_bytes(sink), static_cast<int64_t>(content.size()));
    EXPECT_EQ(sink.pieces.back().status, platform::kStatusUnsuccessful);
    EXPECT_EQ(out.err(), "[HYDRATE-ERR] SHA-256 mismatch for id=9: listed " + good_sha +
                             ", received " + platform::Sha256HexOf(src.content) + "\n");
    EXPECT_EQ(out.out().find("[HYDRATE-OK]"), std::string::npos);
  }
  {
    SCOPED_TRACE("longer: an error page after the content");
    ScopedOutputCapture out;
    FakeDownload src;
    src.content = content + "{\"success\":false}";
    RecordingSink sink;
    RunHydration(request(""), src, sink);
    EXPECT_LT(success_bytes(sink), static_cast<int64_t>(content.size()));
    EXPECT_EQ(sink.pieces.back().status, platform::kStatusUnsuccessful);
    EXPECT_EQ(out.err(), "[HYDRATE-ERR] body longer than the listed size 1048576 for id=9\n");
    EXPECT_LT(src.delivered, src.content.size() + 1);
  }
  {
    SCOPED_TRACE("shorter");
    ScopedOutputCapture out;
    FakeDownload src;
    src.content = content.substr(0, 700000);
    RecordingSink sink;
    RunHydration(request(""), src, sink);
    EXPECT_LT(success_bytes(sink), 700000);
    EXPECT_EQ(sink.pieces.back().status, platform::kStatusEndOfFile);
    EXPECT_EQ(out.err(), "[HYDRATE-WARN] expected 1048576 but only wrote 700000\n");
  }
}


TEST(Hydration, DownloadStopsAtTheNextChunkOnceTheFetchIsGone) {
  class EndingSink : public RecordingSink {
   public:
    bool Active() override { return ++asked <= 3; }
    int asked = 0;
  };
  ScopedOutputCapture out;
  FakeDownload src;
  src.content = Body(4 << 20);
  EndingSink sink;
  RunHydration(Request("F:1", 0, 4 << 20), src, sink);
  EXPECT_EQ(src.delivered, 4u * 16 * 1024);  // the chunk that found it gone is the last
  EXPECT_EQ(sink.pieces.back().status, platform::kStatusUnsuccessful);
  EXPECT_EQ(out.out().find("[HYDRATE-OK]"), std::string::npos);
}

}  // namespace
}  // namespace zem

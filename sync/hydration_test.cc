#include "sync/hydration.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <mutex>
#include <thread>
#include <cstring>
#include <new>
#include <vector>

#include "common/output.h"
#include "platform/fetch_broker.h"
#include "platform/sha256.h"

namespace zem {
namespace {

using namespace std::chrono_literals;

struct Piece {
  uint32_t status;
  int64_t offset;
  int64_t length;
  std::string data;
};

class RecordingSink : public TransferSink {
 public:
  platform::Status Transfer(uint32_t status, const char* data, int64_t offset,
                            int64_t length) override {
    pieces.push_back({status, offset, length,
                      data ? std::string(data, static_cast<size_t>(length)) : std::string()});
    if (refuse_from >= 0 && static_cast<int>(pieces.size()) > refuse_from &&
        status == platform::kStatusSuccess) {
      return platform::StatusFromHresult("CfExecute", static_cast<int32_t>(0x8007018eu));
    }
    return platform::Status();
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

// A body of any length whose byte i is Periodic()[i % kPeriod], served in
// reads of odd sizes (1 byte to 300 KiB) as an HTTP layer hands them out,
// without holding the body in memory.
constexpr size_t kPeriod = (1 << 20) + 13;
constexpr size_t kMaxRead = 300 * 1024;
const std::string& Periodic() {
  static const std::string p = [] {
    std::string s(kPeriod + kMaxRead, '\0');
    for (size_t i = 0; i < s.size(); ++i) {
      const size_t k = i % kPeriod;
      s[i] = static_cast<char>(k * 131 + (k >> 12));
    }
    return s;
  }();
  return p;
}

class OddReadDownload : public DownloadSource {
 public:
  explicit OddReadDownload(int64_t size) : size_(size) {}
  bool Download(const std::string&, const std::function<bool()>& ready,
                const std::function<bool(std::string_view)>& body) override {
    if (!ready()) return true;
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    for (int64_t at = 0; at < size_;) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      const uint64_t r = state >> 33;
      int64_t n = r % 5 == 0 ? static_cast<int64_t>(r % 7) + 1
                             : static_cast<int64_t>(r % kMaxRead) + 1;
      n = std::min(n, size_ - at);
      delivered += n;
      if (!body(std::string_view(Periodic()).substr(static_cast<size_t>(at) % kPeriod,
                                                     static_cast<size_t>(n)))) {
        break;
      }
      at += n;
    }
    return true;
  }
  int64_t delivered = 0;

 private:
  int64_t size_;
};

// Checks every transfer against the rules of the Cloud Files API and the
// bytes against the body, keeping only offsets and lengths.
class CheckingSink : public TransferSink {
 public:
  explicit CheckingSink(int64_t file_size) : file_size_(file_size) {}
  platform::Status Transfer(uint32_t status, const char* data, int64_t offset,
                            int64_t length) override {
    pieces.push_back({status, offset, length, {}});
    if (status != platform::kStatusSuccess) return platform::Status();
    EXPECT_TRUE(platform::IsAcceptedTransfer(file_size_, offset, length))
        << "offset " << offset << " length " << length;
    if (next >= 0) {
      EXPECT_EQ(offset, next);
    }
    next = offset + length;
    handed += length;
    for (int64_t at = 0; at < length;) {
      const size_t k = static_cast<size_t>(offset + at) % kPeriod;
      const size_t n = static_cast<size_t>(std::min<int64_t>(length - at, kMaxRead));
      if (std::memcmp(data + at, Periodic().data() + k, n) != 0) {
        ADD_FAILURE() << "wrong bytes in the piece at " << offset;
        break;
      }
      at += static_cast<int64_t>(n);
    }
    return platform::Status();
  }
  std::vector<Piece> pieces;
  int64_t next = -1;
  int64_t handed = 0;

 private:
  int64_t file_size_;
};

TEST(Hydration, WindowsAreHandedOverFromTheirAlignedStartToTheEndOfTheFile) {
  constexpr int64_t kMiB = 1 << 20;
  constexpr int64_t kGiB = 1024 * kMiB;
  {
    SCOPED_TRACE("the second 1 GiB window of a 3 GiB file");
    ScopedOutputCapture out;
    OddReadDownload src(3 * kGiB);
    CheckingSink sink(3 * kGiB);
    HydrationRequest r = Request("F:big", 1 * kGiB, 1 * kGiB);
    r.file_size = 3 * kGiB;
    RunHydration(r, src, sink);
    ASSERT_FALSE(sink.pieces.empty());
    EXPECT_EQ(sink.pieces.front().offset, 1 * kGiB);
    EXPECT_EQ(sink.next, 3 * kGiB);  // the third window is local afterwards
    EXPECT_EQ(sink.handed, 2 * kGiB);
    EXPECT_NE(out.out().find("[HYDRATE-OK] wrote 2147483648 bytes (file id=big, streamed "
                             "3221225472B from HTTP)\n"),
              std::string::npos)
        << out.out();
    EXPECT_EQ(out.err(), "");
  }
  const int64_t size = 5 * kMiB + 321;
  {
    SCOPED_TRACE("a window in the middle of a 5 MiB file");
    ScopedOutputCapture out;
    OddReadDownload src(size);
    CheckingSink sink(size);
    HydrationRequest r = Request("F:mid", 2 * kMiB + 5000, 70000);
    r.file_size = size;
    RunHydration(r, src, sink);
    ASSERT_FALSE(sink.pieces.empty());
    EXPECT_EQ(sink.pieces.front().offset, 2 * kMiB + 4096);
    EXPECT_EQ(sink.next, size);
    EXPECT_EQ(sink.pieces.back().status, platform::kStatusSuccess);
    EXPECT_EQ(out.err(), "");
  }
  {
    SCOPED_TRACE("the same window with a short body");
    ScopedOutputCapture out;
    OddReadDownload src(3 * kMiB + 77);
    CheckingSink sink(size);
    HydrationRequest r = Request("F:mid", 2 * kMiB + 5000, 70000);
    r.file_size = size;
    RunHydration(r, src, sink);
    // The window arrived and went over; the rest of the file fails, only
    // from where the transfers stopped, in an accepted range.
    ASSERT_GE(sink.pieces.size(), 2u);
    const Piece& failure = sink.pieces.back();
    EXPECT_EQ(failure.status, platform::kStatusEndOfFile);
    EXPECT_GE(sink.next, 2 * kMiB + 5000 + 70000);
    EXPECT_LE(sink.next, 3 * kMiB + 77);
    EXPECT_TRUE(failure.offset == sink.next || failure.length == 0) << failure.offset;
    EXPECT_EQ(out.err(), "[HYDRATE-WARN] expected 5243201 but only wrote 3145805\n");
  }
  {
    SCOPED_TRACE("the same window with a long body");
    ScopedOutputCapture out;
    OddReadDownload src(size + 5000);
    CheckingSink sink(size);
    HydrationRequest r = Request("F:mid", 2 * kMiB + 5000, 70000);
    r.file_size = size;
    RunHydration(r, src, sink);
    // Nothing past the end of the file, and the piece that would end it
    // never goes: the file is not complete on the platform's side.
    EXPECT_LT(sink.next, size);
    EXPECT_EQ(sink.pieces.back().status, platform::kStatusUnsuccessful);
    EXPECT_TRUE(platform::IsAcceptedTransfer(size, sink.pieces.back().offset,
                                             sink.pieces.back().length));
    EXPECT_LE(src.delivered, size + static_cast<int64_t>(kMaxRead));  // stopped there
    EXPECT_EQ(out.err(), "[HYDRATE-ERR] body longer than the listed size 5243201 for id=mid\n");
  }
}

// The agent's fetch-data handler behind the broker the Windows provider puts
// between Windows and the callback: windows of one file share one download,
// every transfer is one Windows accepts, and a fetch whose windows were all
// cancelled stops without a failure.
class BrokerPlatform {
 public:
  struct Sent {
    int64_t transfer;
    uint32_t status;
    int64_t offset;
    int64_t length;
  };
  platform::FetchBroker::Execute Execute() {
    return [this](const platform::TransferKey& key, uint32_t status, const void*, int64_t offset,
                  int64_t length) {
      std::lock_guard l(mu);
      sent.push_back({key.transfer, status, offset, length});
      return platform::Status();
    };
  }
  std::vector<Sent> Snapshot() {
    std::lock_guard l(mu);
    return sent;
  }
  std::mutex mu;
  std::vector<Sent> sent;
};

class BrokerSink : public TransferSink {
 public:
  BrokerSink(platform::FetchBroker& b, const platform::TransferKey& k) : broker_(b), key_(k) {}
  platform::Status Transfer(uint32_t status, const char* data, int64_t offset,
                            int64_t length) override {
    return broker_.Transfer(key_, status, data, offset, length);
  }
  bool Active() override { return broker_.Active(key_); }

 private:
  platform::FetchBroker& broker_;
  platform::TransferKey key_;
};

platform::FetchBroker::Window BrokerWindow(int64_t file, int64_t transfer, int64_t offset,
                                           int64_t length) {
  platform::FetchBroker::Window w;
  w.file = file;
  w.key = platform::TransferKey{1, transfer, 0};
  w.offset = offset;
  w.length = length;
  return w;
}

TEST(Hydration, WindowsOfOneFileBehindTheBrokerShareOneDownloadAndStopWhenCancelled) {
  const int64_t size = 5 * (1 << 20) + 321;
  BrokerPlatform platform;
  std::atomic<int> downloads{0};
  std::atomic<bool> hold{false};
  std::atomic<int64_t> chunks{0};
  platform::FetchBroker* broker = nullptr;
  platform::FetchBroker b(
      [&](const platform::FetchDataInfo& info) {
        downloads++;
        class Paced : public OddReadDownload {
         public:
          Paced(int64_t n, std::atomic<bool>& hold, std::atomic<int64_t>& chunks)
              : OddReadDownload(n), hold_(hold), chunks_(chunks) {}
          bool Download(const std::string& path, const std::function<bool()>& ready,
                        const std::function<bool(std::string_view)>& body) override {
            return OddReadDownload::Download(path, ready, [&](std::string_view c) {
              ++chunks_;
              while (hold_.load() && chunks_ > 3) std::this_thread::sleep_for(5ms);
              return body(c);
            });
          }
          std::atomic<bool>& hold_;
          std::atomic<int64_t>& chunks_;
        } src(info.file_size, hold, chunks);
        HydrationRequest r;
        r.identity = info.identity;
        r.path_utf8 = "a.bin";
        r.required_offset = info.required_offset;
        r.required_length = info.required_length;
        r.file_size = info.file_size;
        BrokerSink sink(*broker, info.key);
        RunHydration(r, src, sink);
      },
      platform.Execute(), 2);
  broker = &b;
  platform::FetchDataInfo whole;
  whole.identity = "F:w";
  whole.file_size = size;
  {
    SCOPED_TRACE("two windows, one download");
    ScopedOutputCapture out;
    hold = true;  // the download waits after a few reads until both windows are asked for
    b.Request(BrokerWindow(77, 11, 0, 2 << 20), whole);
    b.Request(BrokerWindow(77, 12, 2 << 20, size - (2 << 20)), whole);
    hold = false;
    for (int i = 0; i < 1000 && out.out().find("[HYDRATE-OK]") == std::string::npos; ++i) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_NE(out.out().find("[HYDRATE] file=a.bin id=w offset=0 length=5243201\n"),
              std::string::npos);
    EXPECT_NE(out.out().find("[HYDRATE-OK] wrote 5243201 bytes"), std::string::npos) << out.out();
    EXPECT_EQ(downloads.load(), 1);
    int64_t next = 0;
    for (const auto& s : platform.Snapshot()) {
      EXPECT_EQ(s.transfer, 11);  // all under the first request's key; no failure for either
      EXPECT_EQ(s.status, platform::kStatusSuccess);
      EXPECT_EQ(s.offset, next);
      EXPECT_TRUE(platform::IsAcceptedTransfer(size, s.offset, s.length));
      next = s.offset + s.length;
    }
    EXPECT_EQ(next, size);
  }
  {
    SCOPED_TRACE("cancelled while downloading");
    ScopedOutputCapture out;
    hold = true;
    chunks = 0;
    b.Request(BrokerWindow(78, 21, 0, 2 << 20), whole);
    for (int i = 0; i < 1000 && chunks.load() <= 3; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(b.Cancel(78, 0, 2 << 20), 1u);
    const size_t at_cancel = platform.Snapshot().size();
    hold = false;
    for (int i = 0; i < 1000 && out.out().find("[HYDRATE-CANCEL]") == std::string::npos; ++i) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_NE(out.out().find("[HYDRATE-CANCEL] id=w stopped after "), std::string::npos)
        << out.out();
    EXPECT_EQ(out.out().find("[HYDRATE-OK]"), std::string::npos);
    EXPECT_EQ(out.err(), "");  // not an error
    const std::vector<BrokerPlatform::Sent> sent = platform.Snapshot();
    EXPECT_EQ(sent.size(), at_cancel);  // nothing more, not even a failure
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].status, platform::kStatusSuccess);
    EXPECT_EQ(downloads.load(), 2);
  }
  b.Stop();
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
  // The failure names what was not handed over, from an aligned offset.
  EXPECT_EQ(sink.pieces[1].offset, 4096);
  EXPECT_EQ(sink.pieces[1].length, 8000 - 4096);
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
  s.plan = platform::TransferPlanner(-1, 8192, 1 << 20);
  for (size_t i = 0; i < 10000; ++i) buf[i] = static_cast<char>(i);
  s.plan.Arrive(8192 + 10000);  // the first 8192 body bytes lie before the range
  RecordingSink sink;
  ASSERT_TRUE(TransferPending(s, false, sink));
  ASSERT_EQ(sink.pieces.size(), 1u);
  EXPECT_EQ(sink.pieces[0].offset, 8192);
  EXPECT_EQ(sink.pieces[0].length, 8192);
  EXPECT_EQ(s.plan.buffered(), 10000 - 8192);
  EXPECT_EQ(s.plan.next_offset(), 16384);
  EXPECT_EQ(s.written(), 8192);
  EXPECT_EQ(buf[0], static_cast<char>(8192));  // the rest moved to the front

  ASSERT_TRUE(TransferPending(s, false, sink));  // below one block: wait unless final
  EXPECT_EQ(sink.pieces.size(), 1u);
  ASSERT_TRUE(TransferPending(s, true, sink));
  EXPECT_EQ(sink.pieces.back().length, 10000 - 8192);
  EXPECT_EQ(s.plan.buffered(), 0);
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
  // A fetch that went away gets nothing more, not even a failure, and the
  // log says it was cancelled rather than failed.
  EXPECT_TRUE(sink.pieces.empty());
  EXPECT_EQ(out.out().find("[HYDRATE-OK]"), std::string::npos);
  EXPECT_NE(out.out().find("[HYDRATE-CANCEL] id=1 stopped after 0 bytes (nobody waits for the "
                           "rest)\n"),
            std::string::npos)
      << out.out();
  EXPECT_EQ(out.err(), "");
}

}  // namespace
}  // namespace zem

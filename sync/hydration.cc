#include "sync/hydration.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "client/exchange.h"
#include "client/http_status.h"
#include "client/service_id.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "sync/identity.h"

namespace zem {
namespace {

constexpr std::align_val_t kBufferAlignment{kHydrationAlignment};

char* AllocateBuffer() {
  return static_cast<char*>(
      ::operator new[](kHydrationBufferSize, kBufferAlignment, std::nothrow));
}

void FreeBuffer(char* p) {
  if (p) ::operator delete[](p, kBufferAlignment);
}

class PlatformSink : public TransferSink {
 public:
  explicit PlatformSink(const platform::TransferKey& key) : key_(key) {}
  platform::Status Transfer(uint32_t status, const char* data, int64_t offset,
                            int64_t length) override {
    return platform::TransferData(key_, status, data, offset, length);
  }
  bool Active() override { return platform::IsFetchActive(key_); }

 private:
  platform::TransferKey key_;
};

}  // namespace

bool TransferPending(HydrationState& s, bool final, TransferSink& sink) {
  const int64_t piece = s.plan.NextPiece(final, s.checked && !final);
  if (piece <= 0) return true;  // wait for more data
  const int64_t offset = s.plan.next_offset();
  const platform::Status sent = sink.Transfer(platform::kStatusSuccess, s.buffer, offset, piece);
  if (!sent.ok()) {
    Err(Cat("[HYDRATE-ERR] CfExecute failed at offset=", offset, " hr=0x",
            platform::HexHresult(sent.hresult()), "\n"));
    return false;
  }
  const size_t n = static_cast<size_t>(piece);
  std::memmove(s.buffer, s.buffer + n, static_cast<size_t>(s.plan.buffered()) - n);
  s.plan.Handed(piece);
  return true;
}

bool AcceptBody(HydrationState& s, std::string_view chunk, TransferSink& sink, bool* failed) {
  while (!chunk.empty()) {
    // Without a known size the range ends with the window: stop there.
    if (!s.plan.size_known() && s.plan.complete()) return false;
    const size_t room = kHydrationBufferSize - static_cast<size_t>(s.plan.buffered());
    const size_t take = std::min(chunk.size(), room);
    if (take == 0) {  // cannot happen: a full buffer always holds an aligned piece
      *failed = true;
      return false;
    }
    const size_t at = static_cast<size_t>(s.plan.buffered());
    const platform::TransferPlanner::Arrival a = s.plan.Arrive(static_cast<int64_t>(take));
    if (s.plan.too_long()) {
      *failed = true;
      return false;
    }
    if (s.hash) s.hash->Update(chunk.substr(0, take));
    std::memcpy(s.buffer + at, chunk.data() + a.skip, static_cast<size_t>(a.keep));
    chunk.remove_prefix(take);
    if (s.plan.buffered() >= static_cast<int64_t>(kHydrationMinimumPiece) &&
        !TransferPending(s, false, sink)) {
      *failed = true;
      return false;
    }
  }
  return true;
}

void RunHydration(const HydrationRequest& request, DownloadSource& source, TransferSink& sink,
                  const std::function<char*()>& allocate) {
  HydrationState s;
  s.plan = platform::TransferPlanner(request.file_size, request.required_offset,
                                     request.required_length);
  std::unique_ptr<platform::Sha256> hash;
  if (request.file_size >= 0) {
    s.checked = true;
    if (!request.content_sha256.empty()) {
      hash = std::make_unique<platform::Sha256>();
      s.hash = hash.get();
    }
  }
  s.id = ServerIdFromIdentity(request.identity);
  s.required_offset = request.required_offset;
  s.required_length = request.required_length;
  Out(Cat("[HYDRATE] file=", request.path_utf8, " id=", s.id, " offset=", s.required_offset,
          " length=", s.required_length, "\n"));

  auto fail = [&](uint32_t status) {
    // Only what of the window has not been handed over; what was handed
    // over stays.
    const platform::FileRange r = s.plan.FailureRange();
    sink.Transfer(status, nullptr, r.start, r.length());  // result ignored
  };
  // The id goes into the URL as it is: one that could change the query is
  // refused (with its own line) rather than sent.
  if (!CheckServiceId("hydrate-download", s.id)) return fail(platform::kStatusUnsuccessful);

  bool allocation_failed = false;
  bool transfer_failed = false;
  const bool passed = source.Download(
      Cat("/zem/api/cloud-disk/file/download?id=", s.id),
      [&] {
        s.buffer = allocate ? allocate() : AllocateBuffer();
        allocation_failed = s.buffer == nullptr;
        return !allocation_failed;
      },
      [&](std::string_view chunk) {
        if (!sink.Active()) {  // nobody waits for the rest
          s.cancelled = true;
          return false;
        }
        return AcceptBody(s, chunk, sink, &transfer_failed);
      });
  struct BufferGuard {
    HydrationState& s;
    bool owned;
    ~BufferGuard() {
      if (owned) FreeBuffer(s.buffer);
    }
  } guard{s, !allocate};

  if (s.cancelled) {
    // Cancelled (or the connection is ending): the fetch is gone, so no
    // failure is sent for it.
    Out(Cat("[HYDRATE-CANCEL] id=", s.id, " stopped after ", s.written(),
            " bytes (nobody waits for the rest)\n"));
    return;
  }
  if (!passed) {
    Err(Cat("[HYDRATE-ERR] HttpOpenFull failed for id=", s.id, "\n"));
    return fail(platform::kStatusUnsuccessful);
  }
  if (allocation_failed) return fail(platform::kStatusNoMemory);
  if (s.plan.too_long()) {
    Err(Cat("[HYDRATE-ERR] body longer than the listed size ", request.file_size, " for id=",
            s.id, "\n"));
    return fail(platform::kStatusUnsuccessful);
  }
  if (transfer_failed) return fail(platform::kStatusUnsuccessful);
  if (s.checked && s.plan.streamed() < request.file_size) {
    // Short: the piece that would end the file never goes.
    Err(Cat("[HYDRATE-WARN] expected ", request.file_size, " but only wrote ",
            s.plan.streamed(), "\n"));
    return fail(platform::kStatusEndOfFile);
  }
  if (s.hash) {
    platform::Sha256Digest digest;
    const std::string received = s.hash->Final(digest).ok() ? platform::Sha256Hex(digest) : "?";
    std::string listed = request.content_sha256;
    for (char& c : listed) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    if (received != listed) {
      Err(Cat("[HYDRATE-ERR] SHA-256 mismatch for id=", s.id, ": listed ", listed, ", received ",
              received, "\n"));
      return fail(platform::kStatusUnsuccessful);
    }
  }
  if (s.plan.buffered() > 0 && !TransferPending(s, true, sink)) {
    return fail(platform::kStatusUnsuccessful);
  }
  if (s.plan.complete()) {
    Out(Cat("[HYDRATE-OK] wrote ", s.written(), " bytes (file id=", s.id, ", streamed ",
            s.plan.streamed(), "B from HTTP)\n"));
    return;
  }
  Err(Cat("[HYDRATE-WARN] expected ", s.required_length, " but only wrote ", s.written(), "\n"));
  fail(platform::kStatusEndOfFile);
}

bool ServiceDownload::Download(const std::string& path, const std::function<bool()>& ready,
                               const std::function<bool(std::string_view)>& body) {
  platform::HttpRequest request = MakeServiceRequest("GET", path);
  bool body_wanted = false;
  request.on_status = [&](int status) {
    // A failed status is reported after the exchange; its body is never read.
    if (status < 200 || status > 299) return false;
    body_wanted = ready();
    return body_wanted;
  };
  request.body_sink = [&](std::string_view chunk) { return body_wanted && body(chunk); };
  request.cancelled = cancelled_;
  const platform::HttpResult result = platform::PerformHttp(request);
  if (!result.ok()) return false;
  return CheckHttpStatus("hydrate-download", QueryStatusCode(result));
}

void OnFetchData(const platform::FetchDataInfo& info) {
  HydrationRequest request;
  request.identity = info.identity;
  request.path_utf8 = platform::PathToUtf8(info.path);
  request.required_offset = info.required_offset;
  request.required_length = info.required_length;
  request.file_size = info.file_size;
  request.content_sha256 = info.content_sha256;
  // A stalled download ends as soon as nobody waits for the fetch any more
  // (a stop, or the fetch failed): readers get their error at once.
  ServiceDownload source([key = info.key] { return !platform::IsFetchActive(key); });
  PlatformSink sink(info.key);
  RunHydration(request, source, sink);
}

}  // namespace zem

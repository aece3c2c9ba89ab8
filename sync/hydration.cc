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
  platform::Hresult Transfer(uint32_t status, const char* data, int64_t offset,
                             int64_t length) override {
    return platform::TransferData(key_, status, data, offset, length);
  }
  bool Active() override { return platform::IsFetchActive(key_); }

 private:
  platform::TransferKey key_;
};

}  // namespace

bool TransferPending(HydrationState& s, bool final, TransferSink& sink) {
  if (s.pending == 0) return true;
  size_t chunk = s.pending;
  if (!final) {
    chunk = s.pending / kHydrationAlignment * kHydrationAlignment;
    if (s.listed_size >= 0 && s.next_offset + static_cast<int64_t>(chunk) >= s.end) {
      // The last byte waits for the check at the body's end.
      const int64_t room = s.end - 1 - s.next_offset;
      chunk = room <= 0 ? 0 : static_cast<size_t>(room) / kHydrationAlignment * kHydrationAlignment;
    }
    if (chunk == 0) return true;  // wait for more data
  }
  const platform::Hresult hr = sink.Transfer(platform::kStatusSuccess, s.buffer, s.next_offset,
                                             static_cast<int64_t>(chunk));
  if (!platform::Succeeded(hr)) {
    Err(Cat("[HYDRATE-ERR] CfExecute failed at offset=", s.next_offset,
            " hr=0x", platform::HexHresult(hr), "\n"));
    return false;
  }
  s.next_offset += static_cast<int64_t>(chunk);
  s.written += static_cast<int64_t>(chunk);
  std::memmove(s.buffer, s.buffer + chunk, s.pending - chunk);
  s.pending -= chunk;
  return true;
}

bool AcceptBody(HydrationState& s, std::string_view chunk, TransferSink& sink, bool* failed) {
  if (s.listed_size >= 0) {
    if (s.streamed + static_cast<int64_t>(chunk.size()) > s.listed_size) {
      s.streamed += static_cast<int64_t>(chunk.size());
      s.too_long = true;
      *failed = true;
      return false;
    }
    if (s.hash) s.hash->Update(chunk);
  }
  while (!chunk.empty()) {
    if (s.next_offset >= s.end) return false;  // the required range is done
    // One read fills at most the free part of the buffer.
    const size_t take = std::min(chunk.size(), kHydrationBufferSize - s.pending);
    const int64_t before = s.streamed;
    s.streamed += static_cast<int64_t>(take);
    if (s.streamed > s.required_offset) {
      // The body starts at file offset 0: drop what lies before the range.
      const size_t drop = before < s.required_offset
                              ? static_cast<size_t>(s.required_offset - before)
                              : 0;
      std::memcpy(s.buffer + s.pending, chunk.data() + drop, take - drop);
      s.pending += take - drop;
    }
    chunk.remove_prefix(take);
    if (s.pending >= kHydrationMinimumPiece && !TransferPending(s, false, sink)) {
      *failed = true;
      return false;
    }
  }
  return true;
}

void RunHydration(const HydrationRequest& request, DownloadSource& source, TransferSink& sink,
                  const std::function<char*()>& allocate) {
  HydrationState s;
  std::unique_ptr<platform::Sha256> hash;
  if (request.file_size >= 0 && request.required_offset == 0 &&
      request.required_length == request.file_size) {
    s.listed_size = request.file_size;
    if (!request.content_sha256.empty()) {
      hash = std::make_unique<platform::Sha256>();
      s.hash = hash.get();
    }
  }
  s.id = ServerIdFromIdentity(request.identity);
  s.required_offset = request.required_offset;
  s.required_length = request.required_length;
  s.end = request.required_offset + request.required_length;
  s.next_offset = request.required_offset;
  Out(Cat("[HYDRATE] file=", request.path_utf8, " id=", s.id, " offset=", s.required_offset,
          " length=", s.required_length, "\n"));

  auto fail = [&](uint32_t status) {
    sink.Transfer(status, nullptr, s.required_offset, s.required_length);  // result ignored
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
          transfer_failed = true;
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

  if (!passed) {
    Err(Cat("[HYDRATE-ERR] HttpOpenFull failed for id=", s.id, "\n"));
    return fail(platform::kStatusUnsuccessful);
  }
  if (allocation_failed) return fail(platform::kStatusNoMemory);
  if (s.too_long) {
    Err(Cat("[HYDRATE-ERR] body longer than the listed size ", s.listed_size, " for id=", s.id,
            "\n"));
    return fail(platform::kStatusUnsuccessful);
  }
  if (s.listed_size >= 0 && !transfer_failed && s.streamed < s.listed_size) {
    // Short: nothing of it is kept.
    Err(Cat("[HYDRATE-WARN] expected ", s.required_length, " but only wrote ", s.streamed, "\n"));
    return fail(platform::kStatusEndOfFile);
  }
  if (transfer_failed) return fail(platform::kStatusUnsuccessful);
  if (s.hash) {
    platform::Sha256Digest digest;
    const std::string received = s.hash->Final(digest) ? platform::Sha256Hex(digest) : "?";
    std::string listed = request.content_sha256;
    for (char& c : listed) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    if (received != listed) {
      Err(Cat("[HYDRATE-ERR] SHA-256 mismatch for id=", s.id, ": listed ", listed, ", received ",
              received, "\n"));
      return fail(platform::kStatusUnsuccessful);
    }
  }
  if (s.pending > 0 && !TransferPending(s, true, sink)) {
    return fail(platform::kStatusUnsuccessful);
  }
  if (s.written >= s.required_length) {
    Out(Cat("[HYDRATE-OK] wrote ", s.written, " bytes (file id=", s.id, ", streamed ", s.streamed,
            "B from HTTP)\n"));
    return;
  }
  Err(Cat("[HYDRATE-WARN] expected ", s.required_length, " but only wrote ", s.written, "\n"));
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
  ServiceDownload source;
  PlatformSink sink(info.key);
  RunHydration(request, source, sink);
}

}  // namespace zem

// Hydration: answering a fetch-data request by streaming the file from the
// service into the placeholder.
//
// The body is downloaded from offset 0 (no range is asked for); bytes in
// front of the required offset are dropped. What is kept collects in one
// 1 MiB buffer and goes to the platform in 4 KiB-aligned pieces of at least
// 512 KiB, plus one final piece of any size. Each fetch has its own
// exchange, buffer and counters and touches only the read-only backend
// settings, so fetches of several files may run at once without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/cloud_files.h"
#include "platform/sha256.h"

namespace zem {

inline constexpr size_t kHydrationBufferSize = 1 << 20;
inline constexpr size_t kHydrationMinimumPiece = 512 * 1024;
inline constexpr size_t kHydrationAlignment = 4096;

// Where the bytes of one fetch go (the platform's TransferData in the agent).
class TransferSink {
 public:
  virtual ~TransferSink() = default;
  // `data` is null for a failure status. Returns the platform's HRESULT.
  virtual platform::Hresult Transfer(uint32_t status, const char* data, int64_t offset,
                                     int64_t length) = 0;
  // False once the fetch is gone (failed elsewhere, or its connection is
  // ending): the download stops at its next chunk. Asked for every chunk.
  virtual bool Active() { return true; }
};

// Where the body comes from (the service's download in the agent).
class DownloadSource {
 public:
  virtual ~DownloadSource() = default;
  // Runs the exchange for `path`. Once the response has passed the status
  // check, calls `ready` (false: leave the body unread), then hands the body
  // to `body` in chunks until it ends or `body` returns false. Returns true
  // when the response passed the status check.
  virtual bool Download(const std::string& path, const std::function<bool()>& ready,
                        const std::function<bool(std::string_view)>& body) = 0;
};

// The state of one fetch.
struct HydrationState {
  std::string id;               // server file id, for the log lines
  int64_t required_offset = 0;
  int64_t required_length = 0;
  int64_t end = 0;              // required_offset + required_length
  char* buffer = nullptr;       // kHydrationBufferSize bytes
  size_t pending = 0;           // bytes in the buffer not yet handed over
  int64_t next_offset = 0;      // file offset of the first pending byte
  int64_t written = 0;          // bytes handed over so far
  int64_t streamed = 0;         // body bytes received so far
  // Whole-file fetches with a listed size are checked before their last
  // piece is handed over: the body must be exactly `listed_size` bytes (and
  // match the listed SHA-256 when there is one), so nothing is complete on
  // the platform's side until it has passed. -1: not checked.
  int64_t listed_size = -1;
  platform::Sha256* hash = nullptr;  // of the whole body, when checked
  bool too_long = false;             // the body ran past listed_size
};

// Hands the pending bytes to `sink`: all of them when `final`, else the
// largest 4 KiB multiple (nothing when that is 0) that, for a checked fetch,
// leaves the range's last byte pending. Keeps the rest at the buffer's start. Prints the "[HYDRATE-ERR] CfExecute failed …" line and
// returns false when the sink refuses.
bool TransferPending(HydrationState& state, bool final, TransferSink& sink);

// Takes one chunk of the body into the buffer (dropping what lies before the
// required offset), handing pieces over as they fill. Returns false when the
// download should stop: the required range has been handed over, or a
// transfer failed (then *failed is set).
bool AcceptBody(HydrationState& state, std::string_view chunk, TransferSink& sink, bool* failed);

// The whole fetch: the log lines, the download, the transfers and the final
// status. `allocate` gives the 1 MiB buffer aligned to 4 KiB (null: the
// heap); returning null reports STATUS_NO_MEMORY.
struct HydrationRequest {
  std::string identity;
  std::string path_utf8;
  int64_t required_offset = 0;
  int64_t required_length = 0;
  int64_t file_size = -1;      // the placeholder's logical size; -1 unknown
  std::string content_sha256;  // listed SHA-256 (hex), empty when unknown
};
// A fetch of the whole file with a known size is checked: a body longer than
// the size ("[HYDRATE-ERR] body longer than the listed size <m> for
// id=<id>", the download stops there), shorter ("[HYDRATE-WARN] expected <m>
// but only wrote <n>") or with another SHA-256 ("[HYDRATE-ERR] SHA-256
// mismatch for id=<id>: listed <hex>, received <hex>") fails the fetch
// before its last byte is handed over, so nothing is marked hydrated.
void RunHydration(const HydrationRequest& request, DownloadSource& source, TransferSink& sink,
                  const std::function<char*()>& allocate = nullptr);

// The service's download: GET "/zem/api/cloud-disk/file/download?id=" + id
// with the request core, checked under the label "hydrate-download".
class ServiceDownload : public DownloadSource {
 public:
  bool Download(const std::string& path, const std::function<bool()>& ready,
                const std::function<bool(std::string_view)>& body) override;
};

// The fetch-data handler of the agent's connection: RunHydration with the
// service download and the platform's TransferData.
void OnFetchData(const platform::FetchDataInfo& info);

}  // namespace zem

// Hydration: answering a fetch-data request by streaming the file from the
// service into the placeholder.
//
// The body is downloaded from offset 0 (the service serves whole files).
// With the file's size known, everything from the required offset rounded
// down to 4 KiB to the end of the file is handed over, so one download
// serves every later window of the file; bytes in front of that are
// dropped. What is kept collects in one 1 MiB buffer and goes to the
// platform in pieces planned by platform/transfer_plan.h: 4 KiB-aligned
// offsets and lengths, only the piece that ends the file unaligned. Each
// fetch has its own exchange, buffer and counters and touches only the
// read-only backend settings, so fetches of several files may run at once
// without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/cloud_files.h"
#include "platform/sha256.h"
#include "platform/transfer_plan.h"

namespace zem {

inline constexpr size_t kHydrationBufferSize = 1 << 20;
inline constexpr size_t kHydrationMinimumPiece = 512 * 1024;
inline constexpr size_t kHydrationAlignment = 4096;

// Where the bytes of one fetch go (the platform's TransferData in the agent).
class TransferSink {
 public:
  virtual ~TransferSink() = default;
  // `data` is null for a failure status. Returns the platform's outcome.
  virtual platform::Status Transfer(uint32_t status, const char* data, int64_t offset,
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
  platform::TransferPlanner plan{-1, 0, 0};
  char* buffer = nullptr;       // kHydrationBufferSize bytes; holds plan.buffered()
  // With the file's size known the body is checked before the piece that
  // ends the file is handed over: it must be exactly that size (and match
  // the listed SHA-256 when there is one), so nothing is complete on the
  // platform's side until it has passed.
  bool checked = false;
  platform::Sha256* hash = nullptr;  // of the whole body, when checked
  bool cancelled = false;            // the fetch went away while downloading
  int64_t written() const { return plan.next_offset() - plan.range().start; }
};

// Hands the buffered bytes over as far as the plan allows (all of them
// when `final` and they end the file or its size is unknown; a checked
// fetch keeps the piece that ends the file unless `final`). Keeps the rest
// at the buffer's start. Prints the "[HYDRATE-ERR] CfExecute failed …" line
// and returns false when the sink refuses.
bool TransferPending(HydrationState& state, bool final, TransferSink& sink);

// Takes one chunk of the body into the buffer (dropping what lies outside
// the planned range), handing pieces over as they fill. Returns false when
// the download should stop: the range has been handed over (size unknown),
// the body ran past the end of the file, or a transfer failed (then
// *failed is set).
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
// A fetch with a known file size is checked: a body longer than the size
// ("[HYDRATE-ERR] body longer than the listed size <m> for id=<id>", the
// download stops there), shorter ("[HYDRATE-WARN] expected <m> but only
// wrote <n>") or with another SHA-256 ("[HYDRATE-ERR] SHA-256 mismatch for
// id=<id>: listed <hex>, received <hex>") fails the fetch before the piece
// that ends the file is handed over, so nothing is marked hydrated. A
// failure is reported for what of the window was not handed over (see
// PlanFailureRange). A fetch that goes away while downloading (its sink is
// no longer active: cancelled, failed elsewhere, or its connection ending)
// stops at the next chunk, prints "[HYDRATE-CANCEL] id=<id> stopped after
// <n> bytes (nobody waits for the rest)" and sends nothing more.
void RunHydration(const HydrationRequest& request, DownloadSource& source, TransferSink& sink,
                  const std::function<char*()>& allocate = nullptr);

// The service's download: GET "/zem/api/cloud-disk/file/download?id=" + id
// with the request core, checked under the label "hydrate-download".
class ServiceDownload : public DownloadSource {
 public:
  // `cancelled`, when set, is asked at least once a second while the
  // exchange runs (also while the service sends nothing); true ends it.
  explicit ServiceDownload(std::function<bool()> cancelled = nullptr)
      : cancelled_(std::move(cancelled)) {}
  bool Download(const std::string& path, const std::function<bool()>& ready,
                const std::function<bool(std::string_view)>& body) override;

 private:
  std::function<bool()> cancelled_;
};

// The fetch-data handler of the agent's connection: RunHydration with the
// service download and the platform's TransferData.
void OnFetchData(const platform::FetchDataInfo& info);

}  // namespace zem

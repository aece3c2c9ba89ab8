// Planning the data transfers of one fetch so that the Cloud Files API
// accepts every one of them: a transfer starts at a 4 KiB-aligned offset and
// its length is a multiple of 4 KiB, except a transfer that ends exactly at
// the end of the file. The same rules hold for a failure report. The FUSE
// provider accepts any range, so the one plan serves both platforms.
//
// The planner counts bytes only; the caller keeps the bytes themselves (one
// buffer, see sync/hydration.h). The body of a download always starts at
// file offset 0 (the service serves whole files), arrives in reads of any
// size, and may be shorter or longer than the file. Plain value type; one
// object is used by one thread at a time.
#pragma once

#include <cstdint>

namespace zem::platform {

inline constexpr int64_t kTransferAlignment = 4096;

constexpr int64_t AlignDown(int64_t v) { return v / kTransferAlignment * kTransferAlignment; }
constexpr int64_t AlignUp(int64_t v) {
  return (v + kTransferAlignment - 1) / kTransferAlignment * kTransferAlignment;
}

// A byte range [start, end) of the file.
struct FileRange {
  int64_t start = 0;
  int64_t end = 0;
  int64_t length() const { return end - start; }
  bool empty() const { return end <= start; }
};

class TransferPlanner {
 public:
  // What a fetch of `window_length` bytes at `window_start` hands over:
  // from the window's start rounded down to 4 KiB to the end of the file
  // (transfers beyond the requested range are allowed, and a later window
  // then finds its bytes local). `file_size` < 0 means unknown: the range
  // then ends with the window and the last piece is whatever the body holds.
  TransferPlanner(int64_t file_size, int64_t window_start, int64_t window_length);

  // The range the transfers cover.
  FileRange range() const { return range_; }
  bool size_known() const { return file_size_ >= 0; }
  // File offset of the first byte not handed over yet.
  int64_t next_offset() const { return next_; }
  // Bytes kept from the body and not handed over yet.
  int64_t buffered() const { return buffered_; }
  // Body bytes received so far (also those dropped).
  int64_t streamed() const { return streamed_; }
  // True once the body ran past the end of a file of known size.
  bool too_long() const { return too_long_; }
  // True once everything of the range has been handed over.
  bool complete() const { return next_ >= range_.end; }

  // `n` more body bytes arrived. Of them, the first `skip` lie before the
  // range and are dropped, the next `keep` are kept (appended to the
  // caller's buffer), the rest lie past the range and are dropped.
  struct Arrival {
    int64_t skip = 0;
    int64_t keep = 0;
  };
  Arrival Arrive(int64_t n);

  // The length of the piece that may be handed over now, starting at
  // next_offset(): a multiple of 4 KiB, or everything up to the end of the
  // file when the kept bytes reach it. 0: wait for more. `body_ended`: no
  // more bytes come (an unknown size then lets the rest go as the last
  // piece). `hold_last`: the piece that ends the file waits (for the
  // content check at the body's end), however much has arrived.
  int64_t NextPiece(bool body_ended, bool hold_last) const;

  // The caller handed over `length` bytes from next_offset().
  void Handed(int64_t length);

  // The range a failure is reported for: what of the window has not been
  // handed over, in the same alignment as a transfer; when the window went
  // over whole, the rest of the range. Empty once everything went over.
  FileRange FailureRange() const;

 private:
  int64_t file_size_;
  FileRange window_;
  FileRange range_;
  int64_t next_;
  int64_t buffered_ = 0;
  int64_t streamed_ = 0;
  bool too_long_ = false;
};

// The part of the window [window_start, window_start + window_length) that
// is not covered by what has been handed over from its aligned start
// ([.., delivered_end)), widened to what a transfer may name: the start
// rounded down to 4 KiB, the end rounded up to 4 KiB or cut at the end of the
// file (`file_size` < 0: unknown, the end stays as it is).
FileRange PlanFailureRange(int64_t file_size, int64_t window_start, int64_t window_length,
                           int64_t delivered_end);

// True when a transfer of [offset, offset + length) obeys the alignment
// rules for a file of `file_size` bytes (and stays inside it).
bool IsAcceptedTransfer(int64_t file_size, int64_t offset, int64_t length);

}  // namespace zem::platform

#include "platform/transfer_plan.h"

#include <algorithm>

namespace zem::platform {

TransferPlanner::TransferPlanner(int64_t file_size, int64_t window_start, int64_t window_length)
    : file_size_(file_size) {
  window_start = std::max<int64_t>(window_start, 0);
  window_length = std::max<int64_t>(window_length, 0);
  window_ = {window_start, window_start + window_length};
  if (file_size_ >= 0) {
    range_.end = file_size_;
    range_.start = std::min(AlignDown(window_start), AlignDown(file_size_));
  } else {
    range_ = {AlignDown(window_start), window_.end};
  }
  next_ = range_.start;
}

TransferPlanner::Arrival TransferPlanner::Arrive(int64_t n) {
  Arrival a;
  if (n <= 0) return a;
  a.skip = std::clamp<int64_t>(range_.start - streamed_, 0, n);
  const int64_t from = std::max(streamed_, range_.start);
  a.keep = std::clamp<int64_t>(range_.end - from, 0, n - a.skip);
  if (file_size_ >= 0 && streamed_ + n > file_size_) too_long_ = true;
  streamed_ += n;
  buffered_ += a.keep;
  return a;
}

int64_t TransferPlanner::NextPiece(bool body_ended, bool hold_last) const {
  if (buffered_ <= 0) return 0;
  const int64_t kept_end = next_ + buffered_;
  if (file_size_ < 0) {
    // Nothing tells where the file ends: the body's end (or the window's) does.
    return body_ended || kept_end >= range_.end ? buffered_ : AlignDown(buffered_);
  }
  const bool reaches_eof = kept_end >= file_size_;
  if (reaches_eof && !hold_last) return buffered_;
  int64_t end = AlignDown(kept_end);
  // The piece that ends the file waits: stop before the block holding its
  // last byte.
  if (hold_last && file_size_ > 0) end = std::min(end, AlignDown(file_size_ - 1));
  return std::max<int64_t>(end - next_, 0);
}

void TransferPlanner::Handed(int64_t length) {
  length = std::clamp<int64_t>(length, 0, buffered_);
  next_ += length;
  buffered_ -= length;
}

FileRange TransferPlanner::FailureRange() const {
  const FileRange r = PlanFailureRange(file_size_, window_.start, window_.length(), next_);
  // The window went over whole but the rest of the range did not (the body
  // failed later): the failure names that rest.
  if (r.empty() && !complete()) return {next_, range_.end};
  return r;
}

FileRange PlanFailureRange(int64_t file_size, int64_t window_start, int64_t window_length,
                           int64_t delivered_end) {
  const int64_t window_end = window_start + std::max<int64_t>(window_length, 0);
  int64_t start = AlignDown(std::max(window_start, delivered_end));
  int64_t end = window_end;
  if (file_size >= 0) {
    end = std::min(AlignUp(window_end), file_size);
    start = std::min(start, AlignDown(file_size));
  }
  if (delivered_end >= window_end || start >= end) return {start, start};
  return {start, end};
}

bool IsAcceptedTransfer(int64_t file_size, int64_t offset, int64_t length) {
  if (offset < 0 || length <= 0 || offset % kTransferAlignment != 0) return false;
  if (file_size >= 0 && offset + length > file_size) return false;
  return length % kTransferAlignment == 0 || offset + length == file_size;
}

}  // namespace zem::platform

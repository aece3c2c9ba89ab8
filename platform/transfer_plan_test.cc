#include "platform/transfer_plan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace zem::platform {
namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;
constexpr int64_t kGiB = 1024 * kMiB;

// Reads of odd sizes, as an HTTP layer hands them out: a fixed pseudo-random
// sequence between 1 byte and 300 KiB, with some tiny ones.
class OddReads {
 public:
  int64_t Next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    const uint64_t r = state_ >> 33;
    if (r % 7 == 0) return static_cast<int64_t>(r % 13) + 1;
    return static_cast<int64_t>(r % (300 * kKiB)) + 1;
  }

 private:
  uint64_t state_ = 0x2545F4914F6CDD1DULL;
};

struct Piece {
  int64_t offset;
  int64_t length;
};

struct Outcome {
  std::vector<Piece> pieces;
  FileRange range;
  FileRange failure;
  bool too_long = false;
  bool complete = false;
};

// Feeds a body of `body_size` bytes in odd reads through a planner, handing
// pieces over whenever 512 KiB are waiting, as hydration does; a checked
// fetch holds the piece that ends the file until the body has ended whole.
Outcome Simulate(int64_t file_size, int64_t window_start, int64_t window_length,
                 int64_t body_size, bool checked) {
  TransferPlanner plan(file_size, window_start, window_length);
  Outcome o;
  o.range = plan.range();
  OddReads reads;
  auto hand = [&](bool final) {
    const int64_t n = plan.NextPiece(final, checked && !final);
    if (n > 0) {
      o.pieces.push_back({plan.next_offset(), n});
      plan.Handed(n);
    }
  };
  for (int64_t at = 0; at < body_size && !plan.too_long();) {
    const int64_t n = std::min(reads.Next(), body_size - at);
    const TransferPlanner::Arrival a = plan.Arrive(n);
    EXPECT_GE(a.skip, 0);
    EXPECT_GE(a.keep, 0);
    EXPECT_LE(a.skip + a.keep, n);
    at += n;
    if (plan.buffered() >= 512 * kKiB) hand(false);
  }
  o.too_long = plan.too_long();
  if (!o.too_long && (!checked || body_size == file_size)) hand(true);
  o.complete = plan.complete();
  o.failure = plan.FailureRange();
  return o;
}

// Every piece is one the Cloud Files API accepts, the pieces follow each
// other from the planned start, and together they end at `end`.
void ExpectAcceptedAndContiguous(const Outcome& o, int64_t file_size, int64_t end) {
  int64_t next = o.range.start;
  for (size_t i = 0; i < o.pieces.size(); ++i) {
    const Piece& p = o.pieces[i];
    EXPECT_TRUE(IsAcceptedTransfer(file_size, p.offset, p.length))
        << "piece " << i << " at " << p.offset << " length " << p.length;
    EXPECT_EQ(p.offset, next) << i;
    next = p.offset + p.length;
  }
  EXPECT_EQ(next, end);
}

TEST(TransferPlan, WindowsOfLargeAndSmallFilesAreHandedOverToTheEndInAcceptedPieces) {
  {
    SCOPED_TRACE("the second 1 GiB window of a 3 GiB file");
    const Outcome o = Simulate(3 * kGiB, 1 * kGiB, 1 * kGiB, 3 * kGiB, true);
    EXPECT_EQ(o.range.start, 1 * kGiB);
    EXPECT_EQ(o.range.end, 3 * kGiB);  // past the window: the third one is local then
    ExpectAcceptedAndContiguous(o, 3 * kGiB, 3 * kGiB);
    EXPECT_TRUE(o.complete);
    EXPECT_TRUE(o.failure.empty());
  }
  {
    SCOPED_TRACE("a window in the middle of a 5 MiB file, at an unaligned offset");
    const int64_t size = 5 * kMiB + 123;  // the end of the file is unaligned too
    const Outcome o = Simulate(size, 2 * kMiB + 777, 100000, size, true);
    EXPECT_EQ(o.range.start, 2 * kMiB);  // rounded down
    ExpectAcceptedAndContiguous(o, size, size);
    EXPECT_EQ(o.pieces.back().offset + o.pieces.back().length, size);
    EXPECT_NE(o.pieces.back().length % kTransferAlignment, 0);  // only the end is unaligned
    EXPECT_TRUE(o.complete);
  }
  {
    SCOPED_TRACE("a window at the very end, shorter than one block");
    const Outcome o = Simulate(5 * kMiB + 10, 5 * kMiB + 4, 6, 5 * kMiB + 10, true);
    ASSERT_EQ(o.pieces.size(), 1u);
    EXPECT_EQ(o.pieces[0].offset, 5 * kMiB);
    EXPECT_EQ(o.pieces[0].length, 10);
  }
  {
    SCOPED_TRACE("a whole file of 3 bytes");
    const Outcome o = Simulate(3, 0, 3, 3, true);
    ASSERT_EQ(o.pieces.size(), 1u);
    EXPECT_EQ(o.pieces[0].length, 3);
  }
}

TEST(TransferPlan, ShortAndLongBodiesNeverProduceAnUnacceptedPieceAndFailOnlyTheRest) {
  const int64_t size = 5 * kMiB;
  {
    SCOPED_TRACE("short body: stops 1 byte after an odd point");
    const int64_t body = 3 * kMiB + 5001;
    const Outcome o = Simulate(size, 0, size, body, true);
    ASSERT_FALSE(o.pieces.empty());
    for (const Piece& p : o.pieces) {
      EXPECT_TRUE(IsAcceptedTransfer(size, p.offset, p.length));
      EXPECT_LE(p.offset + p.length, body);  // nothing that did not arrive
    }
    EXPECT_FALSE(o.complete);
    const int64_t handed = o.pieces.back().offset + o.pieces.back().length;
    // The failure names only what was not handed over, aligned, up to the end.
    EXPECT_EQ(o.failure.start, handed);
    EXPECT_EQ(o.failure.end, size);
    EXPECT_TRUE(IsAcceptedTransfer(size, o.failure.start, o.failure.length()));
  }
  {
    SCOPED_TRACE("long body: an error page after the content");
    const Outcome o = Simulate(size, 0, size, size + 17, true);
    EXPECT_TRUE(o.too_long);
    for (const Piece& p : o.pieces) {
      EXPECT_TRUE(IsAcceptedTransfer(size, p.offset, p.length));
      EXPECT_LT(p.offset + p.length, size);  // the piece that ends the file never went
    }
    EXPECT_FALSE(o.complete);
    EXPECT_FALSE(o.failure.empty());
    EXPECT_EQ(o.failure.end, size);
  }
  {
    SCOPED_TRACE("long body of a file whose size is a multiple of 4 KiB");
    const Outcome o = Simulate(4 * kMiB, 0, 4 * kMiB, 4 * kMiB + 1, true);
    EXPECT_TRUE(o.too_long);
    ASSERT_FALSE(o.pieces.empty());
    EXPECT_LE(o.pieces.back().offset + o.pieces.back().length, 4 * kMiB - kTransferAlignment);
  }
  {
    SCOPED_TRACE("an unchecked plan of a known size still clips the body at the end");
    TransferPlanner plan(10000, 0, 10000);
    const TransferPlanner::Arrival a = plan.Arrive(12000);
    EXPECT_EQ(a.keep, 10000);
    EXPECT_TRUE(plan.too_long());
    EXPECT_EQ(plan.NextPiece(true, false), 10000);
  }
}

TEST(TransferPlan, PiecesWaitForWholeBlocksAndTheHeldPieceGoesLast) {
  TransferPlanner plan(3 * kTransferAlignment + 100, 0, 3 * kTransferAlignment + 100);
  EXPECT_EQ(plan.Arrive(4000).keep, 4000);
  EXPECT_EQ(plan.NextPiece(false, false), 0);  // less than one block: wait
  plan.Arrive(8192);                            // 12192 kept
  EXPECT_EQ(plan.NextPiece(false, false), 8192);
  plan.Arrive(196);  // everything: 12388 bytes = the whole file
  EXPECT_EQ(plan.NextPiece(false, true), 12288);  // the end waits for the check
  EXPECT_EQ(plan.NextPiece(false, false), 12388);  // unheld: all of it, ending the file
  plan.Handed(12288);
  EXPECT_EQ(plan.next_offset(), 12288);
  EXPECT_EQ(plan.NextPiece(false, true), 0);
  EXPECT_EQ(plan.NextPiece(true, false), 100);
  plan.Handed(100);
  EXPECT_TRUE(plan.complete());
  EXPECT_TRUE(plan.FailureRange().empty());
}

TEST(TransferPlan, UnknownSizeEndsWithTheWindowOrTheBody) {
  TransferPlanner plan(-1, 1 * kMiB + 10, 2 * kMiB);
  EXPECT_EQ(plan.range().start, 1 * kMiB);
  EXPECT_EQ(plan.range().end, 3 * kMiB + 10);
  const TransferPlanner::Arrival a = plan.Arrive(4 * kMiB);
  EXPECT_EQ(a.skip, 1 * kMiB);
  EXPECT_EQ(a.keep, 2 * kMiB + 10);
  EXPECT_FALSE(plan.too_long());  // nothing says how long the file is
  EXPECT_EQ(plan.NextPiece(false, false), 2 * kMiB + 10);

  TransferPlanner shorter(-1, 0, 8000);
  shorter.Arrive(5000);
  EXPECT_EQ(shorter.NextPiece(false, false), 4096);
  EXPECT_EQ(shorter.NextPiece(true, false), 5000);  // the body's end is the end
}

TEST(TransferPlan, FailureRangesAreAlignedAndCutAtTheEndOfTheFile) {
  // Nothing handed over: the window itself, widened to whole blocks.
  FileRange r = PlanFailureRange(10 * kMiB, 4096 + 10, 5000, 0);
  EXPECT_EQ(r.start, 4096);
  EXPECT_EQ(r.end, 3 * 4096);
  // Part of it handed over: the rest only.
  r = PlanFailureRange(10 * kMiB, 0, 1 * kGiB, 2 * kMiB);
  EXPECT_EQ(r.start, 2 * kMiB);
  EXPECT_EQ(r.end, 10 * kMiB);  // not past the end of the file
  // A window that ends the file keeps its unaligned end.
  r = PlanFailureRange(5000, 4096, 904, 0);
  EXPECT_EQ(r.start, 4096);
  EXPECT_EQ(r.end, 5000);
  EXPECT_TRUE(IsAcceptedTransfer(5000, r.start, r.length()));
  // All of it handed over: nothing to fail.
  EXPECT_TRUE(PlanFailureRange(10 * kMiB, 0, 8192, 8192).empty());
  // Unknown size: the window's end stays.
  r = PlanFailureRange(-1, 4096, 100, 0);
  EXPECT_EQ(r.start, 4096);
  EXPECT_EQ(r.end, 4196);
}

TEST(TransferPlan, AcceptedTransfersFollowTheAlignmentRules) {
  EXPECT_TRUE(IsAcceptedTransfer(1 * kMiB, 0, 4096));
  EXPECT_TRUE(IsAcceptedTransfer(10000, 8192, 1808));  // ends the file
  EXPECT_FALSE(IsAcceptedTransfer(10000, 8192, 1000));  // unaligned, not the end
  EXPECT_FALSE(IsAcceptedTransfer(10000, 100, 4096));   // unaligned start
  EXPECT_FALSE(IsAcceptedTransfer(10000, 8192, 4096));  // past the end
  EXPECT_FALSE(IsAcceptedTransfer(10000, 0, 0));
  EXPECT_EQ(AlignDown(4097), 4096);
  EXPECT_EQ(AlignUp(4097), 8192);
  EXPECT_EQ(AlignUp(8192), 8192);
}

}  // namespace
}  // namespace zem::platform

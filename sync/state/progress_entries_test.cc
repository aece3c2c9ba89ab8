#include "sync/state/progress_entries.h"
#include "tests/support/test_hooks.h"

#include <gtest/gtest.h>

namespace zem {
namespace {

constexpr int64_t kSecond = 1'000'000'000;

class Progress : public ::testing::Test {
 protected:
  Progress() {
    ResetProgressEntriesForTest([this] { return now_; });
  }
  ~Progress() override { ResetProgressEntriesForTest(); }
  int64_t now_ = 1000 * kSecond;
};

TEST_F(Progress, UpdatesKeepOneEntryStampedWhenFinished) {
  int changes = 0;
  SetProgressChangedHook([&] { ++changes; });
  ReportTransferProgress(3, u"a.txt", 0, 0, TransferStatus::kActive);
  now_ += kSecond;
  ReportTransferProgress(3, u"a.txt", 50, 200, TransferStatus::kActive);
  ReportTransferProgress(3, u"a.txt", 200, 200, TransferStatus::kActive);
  now_ += kSecond;
  ReportTransferProgress(3, u"a.txt", 1, 1, TransferStatus::kDone);
  auto list = ProgressEntriesSnapshot();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].status, TransferStatus::kDone);
  EXPECT_EQ(list[0].finished_at, 1002 * kSecond);
  EXPECT_EQ(changes, 4);
  EXPECT_EQ(ProgressPercent(list[0]), 100u);
  EXPECT_EQ(ProgressPercent(ProgressEntry{1, u"x", 50, 200, TransferStatus::kActive, 0}), 25u);
  EXPECT_EQ(ProgressPercent(ProgressEntry{1, u"x", 50, 0, TransferStatus::kActive, 0}), 0u);
  // Near the 64-bit limit the percent is computed in unsigned arithmetic.
  EXPECT_EQ(ProgressPercent(ProgressEntry{1, u"x", 1ull << 56, 1ull << 57,
                                          TransferStatus::kActive, 0}),
            ((1ull << 56) * 100) / (1ull << 57));
}

// A finished entry stays until a new entry comes more than 60 s after it
// finished; updates never purge; a fresh finish restarts its minute; active
// entries are never purged.
TEST_F(Progress, FinishedEntriesLeaveAMinuteLaterAtTheNextNewEntry) {
  ReportTransferProgress(1, u"done.txt", 1, 1, TransferStatus::kDone);
  ReportTransferProgress(2, u"failed.txt", 0, 0, TransferStatus::kFailed);
  ReportTransferProgress(3, u"running.txt", 0, 10, TransferStatus::kActive);
  now_ += 30 * kSecond;
  ReportTransferProgress(2, u"failed.txt", 0, 0, TransferStatus::kFailed);  // finished again
  now_ += 30 * kSecond;  // exactly 60 s after the first finish: still kept
  ReportTransferProgress(4, u"b.txt", 0, 0, TransferStatus::kActive);
  EXPECT_EQ(ProgressEntriesSnapshot().size(), 4u);
  now_ += 1;
  ReportTransferProgress(3, u"running.txt", 5, 10, TransferStatus::kActive);  // update: no purge
  EXPECT_EQ(ProgressEntriesSnapshot().size(), 4u);
  ReportTransferProgress(5, u"c.txt", 0, 0, TransferStatus::kActive);
  auto list = ProgressEntriesSnapshot();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].key, 2u);
  EXPECT_EQ(list[1].key, 3u);
  now_ += 31 * kSecond;
  ReportTransferProgress(6, u"d.txt", 0, 0, TransferStatus::kActive);
  list = ProgressEntriesSnapshot();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].key, 3u);
  EXPECT_EQ(list[3].key, 6u);
}

TEST_F(Progress, BalloonsAreCutAndCarryTheirKind) {
  ShowTrayBalloon(u"t", u"x", false);  // no hook: nothing happens
  std::u16string title, text;
  bool error = false;
  SetTrayBalloonHook([&](std::u16string_view a, std::u16string_view b, bool e) {
    title = a;
    text = b;
    error = e;
  });
  ShowTrayBalloon(std::u16string(70, u'题'), std::u16string(300, u'x'), true);
  EXPECT_EQ(title, std::u16string(63, u'题'));
  EXPECT_EQ(text.size(), 255u);
  EXPECT_TRUE(error);
  // A surrogate pair across the cut is dropped whole.
  ShowTrayBalloon(std::u16string(62, u'a') + u"\U0001F600", u"上传完成", false);
  EXPECT_EQ(title, std::u16string(62, u'a'));
  EXPECT_EQ(text, u"上传完成");
  EXPECT_FALSE(error);
}

}  // namespace
}  // namespace zem

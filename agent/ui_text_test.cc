#include "agent/ui_text.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace zem::agent {
namespace {

ProgressEntry Entry(std::u16string name, uint64_t done, uint64_t total,
                    TransferStatus status = TransferStatus::kActive) {
  ProgressEntry e;
  e.name = std::move(name);
  e.done = done;
  e.total = total;
  e.status = status;
  return e;
}

std::string U8(const std::u16string& s) { return platform::WideToUtf8(s); }

TEST(FormatSizeTest, UnitsAndEdges) {
  EXPECT_EQ(U8(FormatSize(0)), "0 B");
  EXPECT_EQ(U8(FormatSize(1023)), "1023 B");
  EXPECT_EQ(U8(FormatSize(1024)), "1.00 KB");
  EXPECT_EQ(U8(FormatSize(1536)), "1.50 KB");
  EXPECT_EQ(U8(FormatSize(5LL << 20)), "5.00 MB");
  EXPECT_EQ(U8(FormatSize(3LL << 30)), "3.00 GB");
  // TB is the largest unit.
  EXPECT_EQ(U8(FormatSize(2000LL << 40)), "2000.00 TB");
  EXPECT_EQ(U8(FormatSize(-5)), "-5 B");
  EXPECT_EQ(U8(FormatSize(INT64_MAX)), "8388608.00 TB");
}

TEST(TrayTextTest, TipForNoneOneAndManyActiveUploads) {
  EXPECT_EQ(U8(TrayTipText({})), "ZEM云盘 · 已同步");
  EXPECT_EQ(U8(TrayTipText({Entry(u"a", 1, 1, TransferStatus::kDone)})), "ZEM云盘 · 已同步");

  // A 30-character name at 50 %: the first 20 characters.
  const std::u16string thirty = u"abcdefghijklmnopqrstuvwxyz0123";
  EXPECT_EQ(U8(TrayTipText({Entry(thirty, 50, 100)})), "ZEM云盘 · 上传 abcdefghijklmnopqrst 50%");
  // A total of 0 shows 0 %.
  EXPECT_EQ(U8(TrayTipText({Entry(u"报告.docx", 10, 0)})), "ZEM云盘 · 上传 报告.docx 0%");

  // Three active: 16 characters of the first, and the two others queued;
  // finished entries in between do not count.
  const std::vector<ProgressEntry> three = {
      Entry(u"x.txt", 1, 1, TransferStatus::kDone), Entry(thirty, 25, 100),
      Entry(u"b", 0, 9), Entry(u"c", 0, 9)};
  EXPECT_EQ(U8(TrayTipText(three)), "ZEM云盘 · 上传 abcdefghijklmnop 25% (+2 排队)");

  EXPECT_EQ(U8(TrayTipText({Entry(u"a", 1, 2, TransferStatus::kFailed),
                            Entry(u"b", 2, 2, TransferStatus::kDone),
                            Entry(u"c", 0, 2, TransferStatus::kFailed)})),
            "ZEM云盘 · 最近 2 个上传失败");

  // A name whose cut would split a surrogate pair loses the whole character.
  std::u16string emoji(19, u'a');
  emoji += u"\U0001F600tail";
  EXPECT_EQ(TrayTipText({Entry(emoji, 0, 1)}), u"ZEM云盘 · 上传 " + std::u16string(19, u'a') + u" 0%");
}

TEST(TrayTextTest, MenuLinesSummaryAndAtMostEightDetails) {
  EXPECT_EQ(TrayMenuLines({}), std::vector<std::u16string>{u"暂无同步活动"});

  std::vector<ProgressEntry> twelve;
  for (int i = 0; i < 6; ++i) {
    twelve.push_back(Entry(u"done" + DecimalU16(i), 5, 5,
                           i % 2 ? TransferStatus::kFailed : TransferStatus::kDone));
  }
  for (int i = 0; i < 6; ++i) twelve.push_back(Entry(u"up" + DecimalU16(i), i * 10, 100));
  const auto lines = TrayMenuLines(twelve);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(U8(lines[0]), "上传：6 进行中 · 3 完成 · 3 失败");
  // Active entries first, in list order, then the finished ones.
  EXPECT_EQ(U8(lines[1]), "   ↑ up0  0%");
  EXPECT_EQ(U8(lines[6]), "   ↑ up5  50%");
  EXPECT_EQ(U8(lines[7]), "   ✓ done0");
  EXPECT_EQ(U8(lines[8]), "   ✗ done1");

  const std::u16string long_name(50, u'n');
  const auto one = TrayMenuLines({Entry(long_name, 1, 3)});
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[1], u"   ↑ " + std::u16string(40, u'n') + u"  33%");

  std::vector<int> ids;
  for (const auto& c : TrayMenuCommands()) ids.push_back(c.id);
  EXPECT_EQ(ids, (std::vector<int>{0, 1005, 1001, 1003, 0, 1004, 1006, 0, 1002}));
}

TEST(PanelTextTest, RowsStatusBarAndQuota) {
  EXPECT_EQ(U8(PanelProgressText(Entry(u"a", 512, 2048))), "25%   512 B / 2.00 KB");
  EXPECT_EQ(U8(PanelProgressText(Entry(u"a", 0, 0))), "—");
  EXPECT_EQ(U8(PanelStatusText(Entry(u"a", 0, 1))), "⏳ 上传中");
  EXPECT_EQ(U8(PanelStatusText(Entry(u"a", 1, 1, TransferStatus::kDone))), "✓ 已完成");
  EXPECT_EQ(U8(PanelStatusText(Entry(u"a", 0, 1, TransferStatus::kFailed))), "✗ 失败");

  const auto parts = PanelStatusTexts(3, 7, u"/home/u/ZEM云盘");
  EXPECT_EQ(U8(parts.transfers), "  传输：3 项");
  EXPECT_EQ(U8(parts.queue), "  队列：7");
  EXPECT_EQ(U8(parts.folder), "  /home/u/ZEM云盘");

  QuotaInfo q;
  q.used = 3LL << 30;
  q.total = 10LL << 30;
  q.file_count = 12;
  q.folder_count = 3;
  EXPECT_EQ(U8(QuotaLabelText(&q, true)), "  云空间：3.00 GB / 10.00 GB   （12 个文件 · 3 个文件夹）");
  EXPECT_EQ(U8(QuotaLabelText(&q, false)), "  云空间：获取中…");
  EXPECT_EQ(U8(QuotaLabelText(nullptr, true)), "  云空间：获取中…");
  EXPECT_EQ(QuotaBarPosition(q), 30);
  q.total = 0;
  EXPECT_EQ(QuotaBarPosition(q), 0);
  // Near the 64-bit limit the product would overflow; the bar stays sane.
  q.total = INT64_MAX;
  q.used = INT64_MAX / 2;
  EXPECT_EQ(QuotaBarPosition(q), 50);
  q.used = INT64_MAX;
  EXPECT_EQ(QuotaBarPosition(q), 100);
  q.used = -4;
  EXPECT_EQ(QuotaBarPosition(q), 0);
}

TEST(PopupTextTest, ActiveRowsThenNewestRecentUpToTwelve) {
  std::deque<RecentTransfer> recent;
  for (int i = 0; i < 20; ++i) {
    recent.push_back({u"r" + DecimalU16(i), i == 19 ? TransferStatus::kFailed : TransferStatus::kDone, i});
  }
  std::vector<ProgressEntry> five;
  for (int i = 0; i < 5; ++i) five.push_back(Entry(u"a" + DecimalU16(i), i, 4));
  five.push_back(Entry(u"finished", 1, 1, TransferStatus::kDone));  // not a popup row

  auto rows = PopupRows(five, recent);
  ASSERT_EQ(rows.size(), 12u);
  EXPECT_EQ(U8(rows[0].name), "a0");
  EXPECT_EQ(U8(rows[4].status), "100%");
  EXPECT_EQ(rows[4].tone, RowTone::kProgress);
  EXPECT_EQ(U8(rows[5].name), "r19");
  EXPECT_EQ(U8(rows[5].status), "失败");
  EXPECT_EQ(rows[5].tone, RowTone::kFailed);
  EXPECT_EQ(U8(rows[6].status), "已上传");
  EXPECT_EQ(rows[6].tone, RowTone::kUploaded);
  EXPECT_EQ(U8(rows[11].name), "r13");

  // Fifteen active uploads still show one recent transfer.
  std::vector<ProgressEntry> fifteen;
  for (int i = 0; i < 15; ++i) fifteen.push_back(Entry(u"u", 0, 0));
  rows = PopupRows(fifteen, recent);
  ASSERT_EQ(rows.size(), 16u);
  EXPECT_EQ(U8(rows[15].name), "r19");
  EXPECT_EQ(U8(rows[0].status), "0%");

  EXPECT_TRUE(PopupRows({}, {}).empty());
  EXPECT_EQ(CountFailedTransfers(recent), 1u);
  EXPECT_EQ(U8(PopupFailureText(3)), "  ⚠ 3 项同步失败");
}

}  // namespace
}  // namespace zem::agent

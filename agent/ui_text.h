// What the agent's windows say, worked out without drawing anything: the
// tray tip and menu lines, the control panel's rows, status-bar parts and
// quota label, and the progress popup's rows. The Win32 windows (agent/ui)
// call these with a copy of the live list, so the texts are the same on
// every platform and tested without a display.
//
// All functions are pure and thread-safe. Names are cut in UTF-16 code units
// as the windows count them, never inside a surrogate pair.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "client/listing.h"
#include "sync/state/progress_entries.h"
#include "sync/state/recent_transfers.h"

namespace zem::agent {

// One colour of the windows (red, green, blue).
struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The accent: header bands, links, percentages, the quota bar.
inline constexpr Rgb kAccentBlue{16, 124, 220};

// Human-readable size: "<n> B" below 1024, else two decimals and the unit
// ("KB", "MB", "GB", "TB"; TB is the largest). A negative count prints as a
// plain byte count.
std::u16string FormatSize(int64_t bytes);

// The first `limit` UTF-16 code units of `s` (one fewer when the cut would
// split a surrogate pair).
std::u16string_view CutName(std::u16string_view s, size_t limit);

// Decimal digits of a number, as UTF-16.
std::u16string DecimalU16(int64_t n);

// --- tray -----------------------------------------------------------------

// The tray icon's tip for the live list (at most 127 code units):
//   one active upload   "ZEM云盘 · 上传 <name, 20> <p>%"
//   two or more         "ZEM云盘 · 上传 <name, 16> <p>% (+<others> 排队)"
//   none, some failed   "ZEM云盘 · 最近 <n> 个上传失败"
//   otherwise           "ZEM云盘 · 已同步"
std::u16string TrayTipText(const std::vector<ProgressEntry>& entries);

// The disabled lines at the top of the tray menu: "暂无同步活动" for an empty
// list, else the summary "上传：<a> 进行中 · <d> 完成 · <f> 失败" and at most 8
// detail lines, the active entries first ("   ↑ <name, 40>  <p>%"), then the
// finished ones ("   ✓ <name, 40>" or "   ✗ <name, 40>"), each in list order.
std::vector<std::u16string> TrayMenuLines(const std::vector<ProgressEntry>& entries);

// The tray menu's commands (WM_COMMAND ids) and their texts.
enum TrayCommand : int {
  kCmdOpenFolder = 1001,
  kCmdExit = 1002,
  kCmdOpenWeb = 1003,
  kCmdLogin = 1004,
  kCmdControlPanel = 1005,
  kCmdCheckUpdate = 1006,
};
struct TrayMenuCommand {
  int id;                     // 0: a separator
  std::u16string_view text;
};
// The commands below the status lines, separators included, in menu order.
const std::vector<TrayMenuCommand>& TrayMenuCommands();

// --- control panel ----------------------------------------------------------

// The progress column: "<p>%   <done> / <total>" with FormatSize, or "—"
// when the total is 0.
std::u16string PanelProgressText(const ProgressEntry& entry);
// The status column: "✗ 失败", "✓ 已完成" or "⏳ 上传中".
std::u16string PanelStatusText(const ProgressEntry& entry);

// The first three status-bar parts: "  传输：<n> 项", "  队列：<q>",
// "  <sync folder>".
struct PanelStatusParts {
  std::u16string transfers, queue, folder;
};
PanelStatusParts PanelStatusTexts(size_t entries, uint64_t queue_length,
                                  std::u16string_view sync_folder);

// The quota label after a quota request: with `quota` (success) and a bar,
// "  云空间：<used> / <total>   （<files> 个文件 · <folders> 个文件夹）";
// after a failure, or without the bar, "  云空间：获取中…".
inline constexpr char16_t kQuotaLoadingText[] = u"  云空间：加载中…";
std::u16string QuotaLabelText(const QuotaInfo* quota, bool has_bar);
// The bar position: used × 100 / total, 0 when the total is below 1, kept
// within 0..100 (and without overflow for totals near the 64-bit limit).
int QuotaBarPosition(const QuotaInfo& quota);

// --- progress popup ---------------------------------------------------------

enum class RowTone { kProgress, kFailed, kUploaded };
struct PopupRow {
  std::u16string name;
  std::u16string status;
  RowTone tone = RowTone::kProgress;
};

// The popup's rows: every active entry with its percentage ("<p>%"), then the
// recent transfers newest first ("失败" or "已上传"), stopping once the list
// holds 12 rows or more (so many active uploads still show one recent row).
std::vector<PopupRow> PopupRows(const std::vector<ProgressEntry>& entries,
                                const std::deque<RecentTransfer>& recent);

// The failure band's text for `failed` recent failures: "  ⚠ <n> 项同步失败".
std::u16string PopupFailureText(size_t failed);
// Recent transfers that failed.
size_t CountFailedTransfers(const std::deque<RecentTransfer>& recent);

}  // namespace zem::agent

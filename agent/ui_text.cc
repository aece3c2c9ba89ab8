#include "agent/ui_text.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "platform/text.h"

namespace zem::agent {
namespace {

constexpr size_t kTipMax = 127;         // the tip field holds 128 with its NUL
constexpr size_t kMenuDetailLines = 8;
constexpr size_t kPopupRowLimit = 12;

std::u16string Percent(const ProgressEntry& e) {
  return platform::WidenAscii(std::to_string(ProgressPercent(e))) + u"%";
}

}  // namespace

std::u16string_view CutName(std::u16string_view s, size_t limit) {
  if (s.size() <= limit) return s;
  size_t n = limit;
  if (n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
  return s.substr(0, n);
}

std::u16string DecimalU16(int64_t n) { return platform::WidenAscii(std::to_string(n)); }

std::u16string FormatSize(int64_t bytes) {
  static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes);
  int unit = 0;
  while (v >= 1024 && unit < 4) {
    v *= 1.0 / 1024;
    ++unit;
  }
  if (unit == 0) return DecimalU16(bytes) + u" B";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f %s", v, kUnits[unit]);
  return platform::WidenAscii(buf);
}

std::u16string TrayTipText(const std::vector<ProgressEntry>& entries) {
  size_t active = 0, failed = 0;
  const ProgressEntry* first = nullptr;
  for (const ProgressEntry& e : entries) {
    if (e.status == TransferStatus::kActive) {
      if (!first) first = &e;
      ++active;
    } else if (e.status == TransferStatus::kFailed) {
      ++failed;
    }
  }
  std::u16string tip;
  if (active == 1) {
    tip = u"ZEM云盘 · 上传 " + std::u16string(CutName(first->name, 20)) + u" " + Percent(*first);
  } else if (active > 1) {
    tip = u"ZEM云盘 · 上传 " + std::u16string(CutName(first->name, 16)) + u" " +
          Percent(*first) + u" (+" + DecimalU16(static_cast<int64_t>(active - 1)) + u" 排队)";
  } else if (failed > 0) {
    tip = u"ZEM云盘 · 最近 " + DecimalU16(static_cast<int64_t>(failed)) + u" 个上传失败";
  } else {
    tip = u"ZEM云盘 · 已同步";
  }
  return std::u16string(CutName(tip, kTipMax));
}

std::vector<std::u16string> TrayMenuLines(const std::vector<ProgressEntry>& entries) {
  if (entries.empty()) return {u"暂无同步活动"};
  size_t active = 0, done = 0, failed = 0;
  for (const ProgressEntry& e : entries) {
    if (e.status == TransferStatus::kActive) {
      ++active;
    } else if (e.status == TransferStatus::kDone) {
      ++done;
    } else {
      ++failed;
    }
  }
  std::vector<std::u16string> lines;
  lines.push_back(u"上传：" + DecimalU16(static_cast<int64_t>(active)) + u" 进行中 · " +
                  DecimalU16(static_cast<int64_t>(done)) + u" 完成 · " +
                  DecimalU16(static_cast<int64_t>(failed)) + u" 失败");
  for (const ProgressEntry& e : entries) {
    if (lines.size() > kMenuDetailLines) break;
    if (e.status != TransferStatus::kActive) continue;
    lines.push_back(u"   ↑ " + std::u16string(CutName(e.name, 40)) + u"  " + Percent(e));
  }
  for (const ProgressEntry& e : entries) {
    if (lines.size() > kMenuDetailLines) break;
    if (e.status == TransferStatus::kActive) continue;
    lines.push_back(std::u16string(u"   ") + (e.status == TransferStatus::kDone ? u"✓" : u"✗") +
                    u" " + std::u16string(CutName(e.name, 40)));
  }
  return lines;
}

const std::vector<TrayMenuCommand>& TrayMenuCommands() {
  static const std::vector<TrayMenuCommand> kCommands = {
      {0, u""},
      {kCmdControlPanel, u"打开控制面板"},
      {kCmdOpenFolder, u"打开 ZEM云盘"},
      {kCmdOpenWeb, u"在浏览器打开（含版本管理）"},
      {0, u""},
      {kCmdLogin, u"登录 / 切换账号"},
      {kCmdCheckUpdate, u"检查更新…"},
      {0, u""},
      {kCmdExit, u"退出"},
  };
  return kCommands;
}

std::u16string PanelProgressText(const ProgressEntry& e) {
  if (e.total == 0) return u"—";
  return Percent(e) + u"   " + FormatSize(static_cast<int64_t>(e.done)) + u" / " +
         FormatSize(static_cast<int64_t>(e.total));
}

std::u16string PanelStatusText(const ProgressEntry& e) {
  switch (e.status) {
    case TransferStatus::kFailed: return u"✗ 失败";
    case TransferStatus::kDone: return u"✓ 已完成";
    default: return u"⏳ 上传中";
  }
}

PanelStatusParts PanelStatusTexts(size_t entries, uint64_t queue_length,
                                  std::u16string_view sync_folder) {
  PanelStatusParts parts;
  parts.transfers = u"  传输：" + DecimalU16(static_cast<int64_t>(entries)) + u" 项";
  parts.queue = u"  队列：" + platform::WidenAscii(std::to_string(queue_length));
  parts.folder = u"  " + std::u16string(sync_folder);
  return parts;
}

std::u16string QuotaLabelText(const QuotaInfo* quota, bool has_bar) {
  if (!quota || !has_bar) return u"  云空间：获取中…";
  return u"  云空间：" + FormatSize(quota->used) + u" / " + FormatSize(quota->total) + u"   （" +
         DecimalU16(quota->file_count) + u" 个文件 · " + DecimalU16(quota->folder_count) +
         u" 个文件夹）";
}

int QuotaBarPosition(const QuotaInfo& quota) {
  if (quota.total < 1 || quota.used <= 0) return 0;
  if (quota.used >= quota.total) return 100;
  // used < total here, so used × 100 / total < 100; divide first where the
  // product would not fit.
  if (quota.used <= std::numeric_limits<int64_t>::max() / 100) {
    return static_cast<int>(quota.used * 100 / quota.total);
  }
  return static_cast<int>(quota.used / (quota.total / 100));
}

std::vector<PopupRow> PopupRows(const std::vector<ProgressEntry>& entries,
                                const std::deque<RecentTransfer>& recent) {
  std::vector<PopupRow> rows;
  for (const ProgressEntry& e : entries) {
    if (e.status != TransferStatus::kActive) continue;
    rows.push_back({e.name, Percent(e), RowTone::kProgress});
  }
  for (auto it = recent.rbegin(); it != recent.rend(); ++it) {
    if (it->status == TransferStatus::kFailed) {
      rows.push_back({it->name, u"失败", RowTone::kFailed});
    } else {
      rows.push_back({it->name, u"已上传", RowTone::kUploaded});
    }
    if (rows.size() >= kPopupRowLimit) break;
  }
  return rows;
}

std::u16string PopupFailureText(size_t failed) {
  return u"  ⚠ " + DecimalU16(static_cast<int64_t>(failed)) + u" 项同步失败";
}

size_t CountFailedTransfers(const std::deque<RecentTransfer>& recent) {
  return static_cast<size_t>(std::count_if(recent.begin(), recent.end(), [](const auto& r) {
    return r.status == TransferStatus::kFailed;
  }));
}

}  // namespace zem::agent

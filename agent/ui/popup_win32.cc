// The progress popup (class ZemCloudDiskProgPopup): a small topmost window
// above the notification area with the running uploads, the newest
// finished transfers, a band when some failed, and links to the panel. It
// hides as soon as it loses activation and repaints every second while
// shown.
#include <windows.h>
#include <windowsx.h>

#include "agent/ui/ui_windows.h"
#include "agent/ui_text.h"
#include "platform/win32/wide.h"
#include "sync/state/recent_transfers.h"

namespace zem::agent::ui {
namespace {

using platform::win32::ToW;

constexpr int kWidth = 340;
constexpr int kHeight = 432;
constexpr int kRowHeight = 38;

constexpr COLORREF kLink = RGB(16, 124, 220);
constexpr COLORREF kBandBack = RGB(255, 244, 244);
constexpr COLORREF kBandText = RGB(200, 50, 50);
constexpr COLORREF kLabel = RGB(130, 130, 130);
constexpr COLORREF kRowName = RGB(45, 45, 45);
constexpr COLORREF kSeparator = RGB(238, 238, 238);
constexpr COLORREF kFailedRow = RGB(220, 60, 60);
constexpr COLORREF kUploadedRow = RGB(60, 170, 90);
constexpr COLORREF kEmpty = RGB(160, 160, 160);
constexpr COLORREF kFooterBack = RGB(245, 247, 250);
constexpr COLORREF kFooterLine = RGB(228, 230, 234);

struct Popup {
  HWND window = nullptr;
  bool class_registered = false;
  HBRUSH white = nullptr;
  HFONT title = nullptr, body = nullptr, small = nullptr;
  RECT close_box{}, failure_link{}, footer{};
};
Popup g;

HFONT MakeFont(int height, int weight) {
  return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, kFontFace);
}

void Fill(HDC dc, RECT r, COLORREF colour) {
  HBRUSH b = CreateSolidBrush(colour);
  FillRect(dc, &r, b);
  DeleteObject(b);
}

void Line(HDC dc, int x1, int y1, int x2, int y2, COLORREF colour) {
  HPEN pen = CreatePen(PS_SOLID, 1, colour);
  HGDIOBJ old = SelectObject(dc, pen);
  MoveToEx(dc, x1, y1, nullptr);
  LineTo(dc, x2, y2);
  SelectObject(dc, old);
  DeleteObject(pen);
}

void Text(HDC dc, HFONT font, COLORREF colour, const std::wstring& text, RECT r, UINT format) {
  HGDIOBJ old = SelectObject(dc, font);
  SetTextColor(dc, colour);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, format | DT_SINGLELINE);
  SelectObject(dc, old);
}

constexpr UINT kLeft = DT_LEFT | DT_VCENTER;
constexpr UINT kCentred = DT_CENTER | DT_VCENTER;

COLORREF ToneColour(RowTone tone) {
  switch (tone) {
    case RowTone::kFailed: return kFailedRow;
    case RowTone::kUploaded: return kUploadedRow;
    default: return kLink;
  }
}

void Paint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT client{};
  GetClientRect(hwnd, &client);
  const int w = client.right, h = client.bottom;
  FillRect(dc, &client, g.white ? g.white : GetSysColorBrush(COLOR_WINDOW));
  SetBkMode(dc, TRANSPARENT);

  Fill(dc, {0, 0, w, 46}, kLink);
  Text(dc, g.title, RGB(255, 255, 255), L"ZEM云盘 · 同步进度", {16, 0, w - 40, 46}, kLeft);
  g.close_box = {w - 38, 11, w - 12, 35};
  Text(dc, g.body, RGB(255, 255, 255), L"✕", g.close_box, kCentred);

  // The two lists are read one after the other, never under both locks.
  const std::deque<RecentTransfer> recent = RecentTransfersSnapshot();
  const size_t failed = CountFailedTransfers(recent);
  g.failure_link = {};
  const bool band = failed > 0;
  if (band) {
    Fill(dc, {0, 46, w, 78}, kBandBack);
    Text(dc, g.body, kBandText, ToW(PopupFailureText(failed)), {12, 46, w - 64, 78}, kLeft);
    g.failure_link = {w - 64, 46, w - 8, 78};
    Text(dc, g.body, kLink, L"查看 ›", g.failure_link, kLeft);
  }
  Text(dc, g.small, kLabel, L"最近同步", band ? RECT{16, 84, w - 16, 104} : RECT{16, 52, w - 16, 72},
       kLeft);

  const int footer_top = h - 44;
  const int list_top = band ? 108 : 76;
  const std::vector<PopupRow> rows = PopupRows(ProgressEntriesSnapshot(), recent);
  int y = list_top;
  for (const PopupRow& row : rows) {
    if (y + kRowHeight > footer_top - 2) break;
    Text(dc, g.body, kRowName, ToW(row.name), {16, y, w - 84, y + kRowHeight},
         kLeft | DT_PATH_ELLIPSIS);
    Text(dc, g.small, ToneColour(row.tone), ToW(row.status), {w - 82, y, w - 14, y + kRowHeight},
         DT_RIGHT | DT_VCENTER);
    Line(dc, 14, y + kRowHeight, w - 14, y + kRowHeight, kSeparator);
    y += kRowHeight;
  }
  if (rows.empty()) {
    Text(dc, g.body, kEmpty, L"暂无同步活动", {16, list_top, w - 16, footer_top}, kCentred);
  }

  g.footer = {0, footer_top, w, h};
  Fill(dc, g.footer, kFooterBack);
  Line(dc, 0, footer_top, w, footer_top, kFooterLine);
  Text(dc, g.body, kLink, L"查看全部同步记录", g.footer, kCentred);
  EndPaint(hwnd, &ps);
}

void OnClick(HWND hwnd, POINT pt) {
  if (PtInRect(&g.close_box, pt)) {
    ShowWindow(hwnd, SW_HIDE);
  } else if (!IsRectEmpty(&g.failure_link) && PtInRect(&g.failure_link, pt)) {
    ShowWindow(hwnd, SW_HIDE);
    ShowControlPanel();
  } else if (PtInRect(&g.footer, pt)) {
    ShowWindow(hwnd, SW_HIDE);
    ShowControlPanel();
  }
}

LRESULT CALLBACK PopupWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_TIMER:
      if (wp == kPopupTimer && IsWindowVisible(hwnd)) InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_LBUTTONUP:
      OnClick(hwnd, POINT{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)});
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_ACTIVATE:
      if (LOWORD(wp) == WA_INACTIVE) ShowWindow(hwnd, SW_HIDE);
      return 0;
    case WM_DESTROY:
      KillTimer(hwnd, kPopupTimer);
      g.window = nullptr;
      return 0;
    case WM_PAINT:
      Paint(hwnd);
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace

HWND PopupWindow() { return g.window; }

void ShowProgressPopup() {
  HINSTANCE module = GetModuleHandleW(nullptr);
  if (!g.class_registered) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = PopupWndProc;
    wc.hInstance = module;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kPopupClass;
    if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    g.class_registered = true;
  }
  if (!g.white) g.white = CreateSolidBrush(RGB(255, 255, 255));
  if (!g.title) g.title = MakeFont(17, 600);
  if (!g.body) g.body = MakeFont(15, FW_NORMAL);
  if (!g.small) g.small = MakeFont(13, FW_NORMAL);
  if (!g.window || !IsWindow(g.window)) {
    g.window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kPopupClass, L"ZEM同步进度",
                               WS_POPUP | WS_BORDER, 0, 0, kWidth, kHeight, nullptr, nullptr,
                               module, nullptr);
    if (!g.window) return;
    SetTimer(g.window, kPopupTimer, 1000, nullptr);
  }
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  SetWindowPos(g.window, HWND_TOPMOST, work.right - 352, work.bottom - 444, kWidth, kHeight,
               SWP_SHOWWINDOW);
  InvalidateRect(g.window, nullptr, TRUE);
  SetForegroundWindow(g.window);
}

}  // namespace zem::agent::ui

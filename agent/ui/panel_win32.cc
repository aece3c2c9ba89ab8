// The control panel (class ZemCloudDiskPanelWnd): a blue header, six
// buttons, the quota as text and bar, the live uploads in a list view and a
// status bar. It refreshes the list every second and the quota every ten;
// closing it only hides it.
//
// The quota is fetched on a short-lived thread. At most one such request
// runs at a time (a refresh while one runs is skipped: its answer is as
// fresh), and its answer is handed to the panel by a posted message, so the
// thread never touches a window: a panel destroyed meanwhile simply never
// receives it.
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <memory>
#include <thread>

#include "agent/shell_helpers.h"
#include "agent/ui/ui_windows.h"
#include "agent/ui_text.h"
#include "client/backend.h"
#include "client/listing.h"
#include "common/config.h"
#include "platform/win32/wide.h"
#include "sync/realtime/upload_queue.h"

namespace zem::agent::ui {
namespace {

using platform::win32::ToW;

// The quota thread's answer (lParam: a QuotaAnswer the panel takes over).
constexpr UINT kQuotaAnswerMessage = WM_APP + 1;

constexpr COLORREF kHeaderBlue = RGB(16, 124, 220);
constexpr COLORREF kQuotaGrey = RGB(245, 247, 250);
constexpr COLORREF kQuotaBorder = RGB(220, 224, 230);

struct QuotaAnswer {
  bool ok = false;
  QuotaInfo quota;
};

struct Panel {
  HWND window = nullptr;
  HWND header = nullptr, title = nullptr, subtitle = nullptr, quota_label = nullptr,
       quota_bar = nullptr, list = nullptr, status = nullptr;
  bool class_registered = false;
  int ticks = 0;
  HBRUSH white = nullptr, blue = nullptr, grey = nullptr;
  HFONT body = nullptr, small = nullptr, title_font = nullptr;
};
Panel g;
std::atomic<bool> g_quota_in_flight{false};

HFONT MakeFont(int height, int weight) {
  return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, kFontFace);
}

void CreateDrawingObjects() {
  if (!g.white) g.white = CreateSolidBrush(RGB(255, 255, 255));
  if (!g.blue) g.blue = CreateSolidBrush(kHeaderBlue);
  if (!g.grey) g.grey = CreateSolidBrush(kQuotaGrey);
  if (!g.body) g.body = MakeFont(15, FW_NORMAL);
  if (!g.small) g.small = MakeFont(14, FW_NORMAL);
  if (!g.title_font) g.title_font = MakeFont(22, 600);
}

void DeleteDrawingObjects() {
  for (HGDIOBJ* o : {reinterpret_cast<HGDIOBJ*>(&g.white), reinterpret_cast<HGDIOBJ*>(&g.blue),
                     reinterpret_cast<HGDIOBJ*>(&g.grey), reinterpret_cast<HGDIOBJ*>(&g.body),
                     reinterpret_cast<HGDIOBJ*>(&g.small),
                     reinterpret_cast<HGDIOBJ*>(&g.title_font)}) {
    if (*o) DeleteObject(*o);
    *o = nullptr;
  }
}

HBRUSH Brush(HBRUSH b) { return b ? b : GetSysColorBrush(COLOR_WINDOW); }

HWND Child(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h,
           int id, HFONT font) {
  HWND c = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, g.window,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
  if (c && font) SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  return c;
}

void SetPart(int part, const std::u16string& text) {
  SendMessageW(g.status, SB_SETTEXTW, part, reinterpret_cast<LPARAM>(ToW(text).c_str()));
}

void CreateChildren() {
  g.header = Child(L"STATIC", L"", SS_NOTIFY, 0, 0, 820, 64, 0, nullptr);
  g.title = Child(L"STATIC", L"ZEM云盘", 0, 20, 8, 780, 28, 0, g.title_font);
  g.subtitle = Child(L"STATIC", L"轻松同步 · 多端协作 · 安全可靠", 0, 20, 36, 780, 22, 0, g.body);
  struct Button {
    int id;
    const wchar_t* text;
  };
  const Button buttons[] = {{kBtnDocuments, L"我的文档"}, {kBtnCloudFolder, L"打开云盘"},
                            {kBtnWeb, L"Web 版"},         {kBtnRecycleBin, L"回收站"},
                            {kBtnRefresh, L"刷新"},        {kBtnLogin, L"设置 / 登录"}};
  for (int i = 0; i < 6; ++i) {
    Child(L"BUTTON", buttons[i].text, BS_PUSHBUTTON, 12 + 134 * i, 76, 122, 36, buttons[i].id,
          g.body);
  }
  g.quota_label = Child(L"STATIC", ToW(kQuotaLoadingText).c_str(), 0, 20, 136, 780, 22, 0, g.small);
  g.quota_bar = Child(PROGRESS_CLASSW, L"", PBS_SMOOTH, 20, 160, 780, 10, 0, nullptr);
  SendMessageW(g.quota_bar, PBM_SETRANGE32, 0, 100);
  SendMessageW(g.quota_bar, PBM_SETBARCOLOR, 0, kHeaderBlue);
  SendMessageW(g.quota_bar, PBM_SETBKCOLOR, 0, RGB(232, 234, 237));
  SendMessageW(g.quota_bar, PBM_SETPOS, 0, 0);

  g.list = Child(WC_LISTVIEWW, L"", LVS_REPORT | LVS_SHOWSELALWAYS, 12, 192, 796, 358,
                 kPanelListId, g.body);
  ListView_SetExtendedListViewStyle(
      g.list, LVS_EX_DOUBLEBUFFER | LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  const struct {
    const wchar_t* text;
    int width;
  } columns[] = {{L"文件名", 360}, {L"进度", 240}, {L"状态", 100}};
  for (int i = 0; i < 3; ++i) {
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH;
    col.pszText = const_cast<wchar_t*>(columns[i].text);
    col.cx = columns[i].width;
    SendMessageW(g.list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
  }

  g.status = Child(STATUSCLASSNAMEW, L"", SBARS_SIZEGRIP, 0, 0, 0, 0, 0, g.body);
  int ends[4] = {120, 200, 600, -1};
  SendMessageW(g.status, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(ends));
  SetPart(3, u"  ZEM v1.0");
}

void OnCommand(int id) {
  const std::filesystem::path root = SyncRootDir();
  switch (id) {
    case kBtnDocuments: OpenFolderInShell(root / L"我的文档"); break;
    case kBtnCloudFolder: OpenFolderInShell(root); break;
    case kBtnWeb: OpenInShell(BuildWebUrl(Backend(), u"/#/oa/cloud-disk")); break;
    case kBtnRecycleBin: {
      const std::filesystem::path bin = root / L"ZEM 回收站";
      std::error_code ec;
      if (std::filesystem::exists(bin, ec)) {
        OpenFolderInShell(bin);
      } else {
        OpenInShell(BuildWebUrl(Backend(), u"/#/oa/cloud-disk?status=2"));
      }
      break;
    }
    case kBtnRefresh:
      RefreshPanelList();
      RefreshQuotaAsync();
      break;
    case kBtnLogin: LaunchKeygate(); break;
    default: break;
  }
}

void OnSize(HWND hwnd, int w, int h) {
  if (!g.status) return;
  SendMessageW(g.status, WM_SIZE, 0, 0);
  RECT sr{};
  GetWindowRect(g.status, &sr);
  const int sb = sr.bottom - sr.top;
  MoveWindow(g.header, 0, 0, w, 64, TRUE);
  MoveWindow(g.title, 20, 8, w - 40, 28, TRUE);
  MoveWindow(g.subtitle, 20, 36, w - 40, 22, TRUE);
  MoveWindow(g.quota_label, 20, 134, w - 40, 22, TRUE);
  MoveWindow(g.quota_bar, 20, 158, w - 40, 10, TRUE);
  if (h - sb - 198 >= 51) MoveWindow(g.list, 12, 186, w - 24, h - sb - 198, TRUE);
  InvalidateRect(hwnd, nullptr, TRUE);
}

void OnEraseBackground(HWND hwnd, HDC dc) {
  RECT client{};
  GetClientRect(hwnd, &client);
  FillRect(dc, &client, Brush(g.white));
  RECT header{0, 0, client.right, 64};
  if (g.header) {
    RECT hr{};
    GetWindowRect(g.header, &hr);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&hr), 2);
    header.bottom = hr.bottom;
  }
  FillRect(dc, &header, Brush(g.blue));
  if (g.quota_label) {
    RECT lr{};
    GetWindowRect(g.quota_label, &lr);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&lr), 2);
    RECT box{lr.left - 8, lr.top - 6, client.right - 12, lr.top + 50};
    FillRect(dc, &box, Brush(g.grey));
    HBRUSH border = CreateSolidBrush(kQuotaBorder);
    FrameRect(dc, &box, border);
    DeleteObject(border);
  }
}

LRESULT OnCtlColorStatic(HDC dc, HWND control) {
  SetBkMode(dc, TRANSPARENT);
  if (control == g.title || control == g.subtitle) {
    SetTextColor(dc, RGB(255, 255, 255));
    return reinterpret_cast<LRESULT>(Brush(g.blue));
  }
  if (control == g.header) return reinterpret_cast<LRESULT>(Brush(g.blue));
  if (control == g.quota_label) {
    SetTextColor(dc, RGB(50, 50, 50));
    return reinterpret_cast<LRESULT>(Brush(g.grey));
  }
  SetTextColor(dc, RGB(32, 32, 32));
  return reinterpret_cast<LRESULT>(Brush(g.white));
}

void OnQuotaAnswer(std::unique_ptr<QuotaAnswer> answer) {
  if (!g.quota_label) return;
  const bool with_bar = g.quota_bar != nullptr;
  SetWindowTextW(g.quota_label,
                 ToW(QuotaLabelText(answer->ok ? &answer->quota : nullptr, with_bar)).c_str());
  if (answer->ok && with_bar) {
    SendMessageW(g.quota_bar, PBM_SETPOS, QuotaBarPosition(answer->quota), 0);
  }
}

LRESULT CALLBACK PanelWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_TIMER:
      if (wp == kPanelTimer) {
        RefreshPanelList();
        if (++g.ticks >= 10) {
          g.ticks = 0;
          RefreshQuotaAsync();
        }
      }
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wp));
      return 0;
    case WM_SIZE:
      OnSize(hwnd, LOWORD(lp), HIWORD(lp));
      return 0;
    case WM_ERASEBKGND:
      OnEraseBackground(hwnd, reinterpret_cast<HDC>(wp));
      return 1;
    case WM_CTLCOLORSTATIC:
      return OnCtlColorStatic(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
      SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
      SetTextColor(reinterpret_cast<HDC>(wp), RGB(32, 32, 32));
      return reinterpret_cast<LRESULT>(Brush(g.white));
    case kQuotaAnswerMessage:
      OnQuotaAnswer(std::unique_ptr<QuotaAnswer>(reinterpret_cast<QuotaAnswer*>(lp)));
      return 0;
    case WM_CLOSE:
      ShowWindow(hwnd, SW_HIDE);
      return 0;
    case WM_DESTROY: {
      KillTimer(hwnd, kPanelTimer);
      DeleteDrawingObjects();
      // A quota answer still queued for this window is freed here.
      MSG m;
      while (PeekMessageW(&m, hwnd, kQuotaAnswerMessage, kQuotaAnswerMessage, PM_REMOVE)) {
        delete reinterpret_cast<QuotaAnswer*>(m.lParam);
      }
      const bool registered = g.class_registered;
      g = Panel{};
      g.class_registered = registered;
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace

HWND PanelWindow() { return g.window; }

bool QuotaRequestInFlight() { return g_quota_in_flight.load(); }

void ShowControlPanel() {
  if (g.window && IsWindow(g.window)) {
    ShowWindow(g.window, SW_RESTORE);
    SetForegroundWindow(g.window);
    RefreshPanelList();
    RefreshQuotaAsync();
    return;
  }
  HINSTANCE module = GetModuleHandleW(nullptr);
  if (!g.class_registered) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    WNDCLASSW wc{};
    wc.lpfnWndProc = PanelWndProc;
    wc.hInstance = module;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kPanelClass;
    HICON icon = nullptr;
    try {
      icon = static_cast<HICON>(LoadImageW(nullptr, AppIconPath().wstring().c_str(), IMAGE_ICON, 0,
                                           0, LR_LOADFROMFILE | LR_DEFAULTSIZE));
    } catch (const std::exception&) {
    }
    wc.hIcon = icon ? icon : LoadIconW(nullptr, IDI_APPLICATION);
    if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    g.class_registered = true;
  }
  CreateDrawingObjects();
  const int x = (GetSystemMetrics(SM_CXSCREEN) - 820) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - 580) / 2;
  g.window = CreateWindowExW(0, kPanelClass, L"ZEM云盘 · 控制面板", WS_OVERLAPPEDWINDOW, x, y, 820,
                             580, nullptr, nullptr, module, nullptr);
  if (!g.window) return;
  CreateChildren();
  RefreshPanelList();
  RefreshQuotaAsync();
  SetTimer(g.window, kPanelTimer, 1000, nullptr);
  ShowWindow(g.window, SW_SHOW);
  UpdateWindow(g.window);
  SetForegroundWindow(g.window);
}

void RefreshPanelList() {
  if (!g.list) return;
  SendMessageW(g.list, LVM_DELETEALLITEMS, 0, 0);
  const std::vector<ProgressEntry> entries = ProgressEntriesSnapshot();
  for (size_t i = 0; i < entries.size(); ++i) {
    const ProgressEntry& e = entries[i];
    const std::wstring cells[3] = {ToW(e.name), ToW(PanelProgressText(e)), ToW(PanelStatusText(e))};
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(i);
    item.pszText = const_cast<wchar_t*>(cells[0].c_str());
    const int row = static_cast<int>(SendMessageW(g.list, LVM_INSERTITEMW, 0,
                                                  reinterpret_cast<LPARAM>(&item)));
    if (row < 0) continue;
    for (int col = 1; col < 3; ++col) {
      LVITEMW sub{};
      sub.iSubItem = col;
      sub.pszText = const_cast<wchar_t*>(cells[col].c_str());
      SendMessageW(g.list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&sub));
    }
  }
  if (g.status) {
    const PanelStatusParts parts =
        PanelStatusTexts(entries.size(), QueueLength(), SyncRootDir().u16string());
    SetPart(0, parts.transfers);
    SetPart(1, parts.queue);
    SetPart(2, parts.folder);
  }
}

void RefreshQuotaAsync() {
  if (!g.window) return;
  // One request at a time: a slow service must not pile up threads.
  bool idle = false;
  if (!g_quota_in_flight.compare_exchange_strong(idle, true)) return;
  const HWND panel = g.window;
  try {
    std::thread([panel] {
      auto answer = std::make_unique<QuotaAnswer>();
      try {
        answer->ok = GetQuota(answer->quota);
      } catch (const std::exception&) {
        answer->ok = false;  // figures beyond the range the panel shows
      }
      g_quota_in_flight.store(false);
      // Posting to a window that was destroyed fails; the answer is freed.
      if (PostMessageW(panel, kQuotaAnswerMessage, 0, reinterpret_cast<LPARAM>(answer.get()))) {
        answer.release();
      }
    }).detach();
  } catch (const std::exception&) {
    g_quota_in_flight.store(false);  // no thread: this refresh is skipped
  }
}

}  // namespace zem::agent::ui

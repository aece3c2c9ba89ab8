// The tray: a message-only window of class ZemCloudDiskTrayWnd with one
// notification icon; its tip summarises the uploads, its menu lists them
// with the agent's commands, and its clicks open the popup and the panel.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cwchar>
#include <mutex>

#include "agent/agent_state.h"
#include "agent/shell_helpers.h"
#include "agent/tray.h"
#include "agent/ui/ui_windows.h"
#include "agent/ui_text.h"
#include "client/backend.h"
#include "common/config.h"
#include "common/output.h"
#include "platform/win32/wide.h"
#include "sync/state/recent_transfers.h"

namespace zem::agent {
namespace ui {
namespace {

using platform::win32::ToW;

std::atomic<HWND> g_tray{nullptr};
std::atomic<DWORD> g_tray_thread{0};
std::atomic<NotifyIconFunction> g_notify{nullptr};

// The icon data. The user-interface thread writes it; the balloon copies it
// from worker threads, so both go through the lock.
std::mutex g_icon_mu;
NOTIFYICONDATAW g_icon{};

// Copies UTF-16 text into a fixed field, cutting it to fit with its NUL.
template <size_t N>
void CopyField(wchar_t (&field)[N], std::u16string_view text) {
  const std::u16string_view cut = CutName(text, N - 1);
  std::wmemcpy(field, reinterpret_cast<const wchar_t*>(cut.data()), cut.size());
  field[cut.size()] = L'\0';
}

void ShowBalloon(std::u16string_view title, std::u16string_view text, bool is_error) {
  NOTIFYICONDATAW copy;
  {
    std::lock_guard<std::mutex> lock(g_icon_mu);
    if (!g_icon.hWnd) return;  // no icon (any more)
    copy = g_icon;
  }
  copy.uFlags = NIF_INFO;
  CopyField(copy.szInfoTitle, title);
  CopyField(copy.szInfo, text);
  copy.dwInfoFlags = is_error ? NIIF_ERROR : NIIF_INFO;
  copy.uTimeout = 0;
  CallNotifyIcon(NIM_MODIFY, &copy);
}

void PostRefresh() {
  if (HWND tray = g_tray.load()) PostMessageW(tray, kTrayRefreshMessage, 0, 0);
}

HICON LoadTrayIcon() {
  HICON icon = nullptr;
  try {
    const std::wstring path = AppIconPath().wstring();
    icon = static_cast<HICON>(
        LoadImageW(nullptr, path.c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE));
  } catch (const std::exception&) {
    // An icon path that cannot be made canonical: the system's icon below.
  }
  return icon ? icon : LoadIconW(nullptr, IDI_APPLICATION);
}

void OnCommand(int id) {
  switch (id) {
    case kCmdControlPanel: ShowControlPanel(); break;
    case kCmdOpenFolder: OpenFolderInShell(SyncRootDir()); break;
    case kCmdOpenWeb: OpenInShell(BuildWebUrl(Backend(), u"/#/cloud-disk")); break;
    case kCmdLogin: LaunchKeygate(); break;
    case kCmdCheckUpdate: RunUpdateCheck(); break;
    case kCmdExit:
      AgentRunning.exchange(false);
      PostQuitMessage(0);
      break;
    default: break;
  }
}

}  // namespace

HWND TrayWindow() { return g_tray.load(); }

void SetNotifyIconFunctionForTest(NotifyIconFunction fn) { g_notify.store(fn); }

BOOL CallNotifyIcon(DWORD message, NOTIFYICONDATAW* data) {
  const NotifyIconFunction fn = g_notify.load();
  return fn ? fn(message, data) : Shell_NotifyIconW(message, data);
}

void RefreshTrayTip() {
  const std::u16string tip = TrayTipText(ProgressEntriesSnapshot());
  NOTIFYICONDATAW copy;
  {
    std::lock_guard<std::mutex> lock(g_icon_mu);
    if (!g_icon.hWnd) return;
    CopyField(g_icon.szTip, tip);
    copy = g_icon;
  }
  copy.uFlags = NIF_TIP;
  CallNotifyIcon(NIM_MODIFY, &copy);  // a failed update is ignored
}

HMENU BuildTrayMenu(const std::vector<ProgressEntry>& entries) {
  HMENU menu = CreatePopupMenu();
  if (!menu) return nullptr;
  for (const std::u16string& line : TrayMenuLines(entries)) {
    AppendMenuW(menu, MF_STRING | MF_DISABLED | MF_GRAYED, 0, ToW(line).c_str());
  }
  for (const TrayMenuCommand& c : TrayMenuCommands()) {
    if (c.id == 0) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    } else {
      AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(c.id), ToW(c.text).c_str());
    }
  }
  return menu;
}

void ShowTrayMenu() {
  POINT at{};
  GetCursorPos(&at);
  HMENU menu = BuildTrayMenu(ProgressEntriesSnapshot());
  if (!menu) return;
  HWND tray = g_tray.load();
  SetForegroundWindow(tray);
  TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, tray, nullptr);
  DestroyMenu(menu);
}

LRESULT CALLBACK TrayWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_TIMER:
      if (wp == kTrayTimer) RefreshTrayTip();
      return 0;
    case kTrayRefreshMessage:
      RefreshTrayTip();
      return 0;
    case kTrayCallbackMessage:
      switch (LOWORD(lp)) {
        case WM_RBUTTONUP: ShowTrayMenu(); break;
        case WM_LBUTTONUP: ShowProgressPopup(); break;
        case WM_LBUTTONDBLCLK: ShowControlPanel(); break;
        default: break;
      }
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wp));
      return 0;
    case WM_DESTROY: {
      KillTimer(hwnd, kTrayTimer);
      NOTIFYICONDATAW copy;
      {
        std::lock_guard<std::mutex> lock(g_icon_mu);
        copy = g_icon;
        g_icon.hWnd = nullptr;  // the balloon and the tip stop here
      }
      CallNotifyIcon(NIM_DELETE, &copy);
      PostQuitMessage(0);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace ui

bool RunTrayLoop() {
  using namespace ui;
  HINSTANCE module = GetModuleHandleW(nullptr);
  WNDCLASSW wc{};
  wc.lpfnWndProc = TrayWndProc;
  wc.hInstance = module;
  wc.lpszClassName = kTrayClass;
  if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  HWND tray = CreateWindowExW(0, kTrayClass, kAppName, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              module, nullptr);
  if (!tray) return false;

  NOTIFYICONDATAW icon{};
  icon.cbSize = sizeof icon;
  icon.hWnd = tray;
  icon.uID = 1;
  icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  icon.uCallbackMessage = kTrayCallbackMessage;
  icon.hIcon = LoadTrayIcon();
  CopyField(icon.szTip, u"ZEM云盘");
  if (!CallNotifyIcon(NIM_ADD, &icon)) {
    DestroyWindow(tray);
    // Without an icon the window's WM_DESTROY posted a quit message that
    // must not end a later loop of this thread.
    MSG m;
    while (PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {}
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(g_icon_mu);
    g_icon = icon;
  }
  g_tray.store(tray);
  g_tray_thread.store(GetCurrentThreadId());
  // From here the workers' changes reach the tip at once and their
  // balloons appear at the icon.
  SetProgressChangedHook(PostRefresh);
  SetRecentTransfersChangedHook(PostRefresh);
  SetTrayBalloonHook(ShowBalloon);

  SetTimer(tray, kTrayTimer, 800, nullptr);
  Out("     系统托盘图标已挂载\n");
  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  SetProgressChangedHook(nullptr);
  SetRecentTransfersChangedHook(nullptr);
  SetTrayBalloonHook(nullptr);
  g_tray.store(nullptr);
  g_tray_thread.store(0);
  if (IsWindow(tray)) DestroyWindow(tray);
  // Leave no quit message behind for a later loop of this thread.
  while (PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {}
  return true;
}

void EndTrayLoop() {
  // Called from the console handler's thread: end the loop as the exit
  // command does, by a quit message on the tray's thread.
  if (const DWORD thread = ui::g_tray_thread.load()) PostThreadMessageW(thread, WM_QUIT, 0, 0);
}

}  // namespace zem::agent

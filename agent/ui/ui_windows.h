// The agent's Win32 windows: the message-only tray window with its icon and
// menu, the control panel and the progress popup. Everything here runs on
// the user-interface thread (the agent's main thread in tray mode) except
// where a comment says otherwise; other threads only post to the tray
// window or call the balloon.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "sync/state/progress_entries.h"

namespace zem::agent::ui {

inline constexpr wchar_t kTrayClass[] = L"ZemCloudDiskTrayWnd";
inline constexpr wchar_t kPanelClass[] = L"ZemCloudDiskPanelWnd";
inline constexpr wchar_t kPopupClass[] = L"ZemCloudDiskProgPopup";
inline constexpr wchar_t kAppName[] = L"ZEM云盘";
inline constexpr wchar_t kFontFace[] = L"Microsoft YaHei UI";

inline constexpr UINT kTrayCallbackMessage = WM_USER + 1;  // the icon's mouse messages
inline constexpr UINT kTrayRefreshMessage = WM_USER + 2;   // the live list changed
inline constexpr UINT_PTR kTrayTimer = 1;                  // 800 ms: the tip
inline constexpr UINT_PTR kPanelTimer = 2;                 // 1 s: list; 10 s: quota
inline constexpr UINT_PTR kPopupTimer = 7;                 // 1 s: repaint

// Panel control ids.
inline constexpr int kPanelListId = 2010;
enum PanelButton : int {
  kBtnDocuments = 2001,
  kBtnCloudFolder = 2002,
  kBtnWeb = 2003,
  kBtnRefresh = 2004,
  kBtnRecycleBin = 2005,
  kBtnLogin = 2006,
};

// --- tray (tray_win32.cc) ---
// The tray window, or null before RunTrayLoop set it up and after it ended.
HWND TrayWindow();
LRESULT CALLBACK TrayWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
void RefreshTrayTip();
void ShowTrayMenu();
// The context menu for a copy of the live list (the caller destroys it).
HMENU BuildTrayMenu(const std::vector<ProgressEntry>& entries);

// Every Shell_NotifyIconW call of the agent goes through this function, so
// the calls can be checked where no notification area exists (Wine without
// a tray, tests). Null restores Shell_NotifyIconW. Set before the tray
// starts; the balloon calls it from worker threads.
using NotifyIconFunction = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAW data);
void SetNotifyIconFunctionForTest(NotifyIconFunction fn);
BOOL CallNotifyIcon(DWORD message, NOTIFYICONDATAW* data);

// --- control panel (panel_win32.cc) ---
void ShowControlPanel();
void RefreshPanelList();
void RefreshQuotaAsync();
// The panel window, or null.
HWND PanelWindow();
// True while a quota request started by RefreshQuotaAsync is running.
bool QuotaRequestInFlight();

// --- progress popup (popup_win32.cc) ---
void ShowProgressPopup();
// The popup window, or null before its first show.
HWND PopupWindow();

// --- update check (update_dialogs_win32.cc) ---
// The update check with message boxes owned by the tray window.
void RunUpdateCheck();

}  // namespace zem::agent::ui

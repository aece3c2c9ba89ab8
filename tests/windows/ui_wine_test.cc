// The agent's windows under Wine on a virtual display, driven as a user
// would through ordinary Win32 messages: the tray loop runs on its own
// thread (the agent's main thread in real life) and this thread finds its
// windows by class and title, reads texts, list-view rows and status-bar
// parts back, presses menu items and buttons, and saves screenshots of the
// control panel and the progress popup into the build folder.
//
// Shell_NotifyIconW goes through the agent's seam: Wine has no notification
// area to show the icon, its tip or its balloons, so the calls' arguments
// are what is checked. ZEM_ZEMD_FIXTURE names a zemd started with --tls and
// an updates folder (the quota label and the update check).
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "agent/agent_state.h"
#include "agent/shell_helpers.h"
#include "agent/tray.h"
#include "agent/ui/ui_windows.h"
#include "agent/ui_text.h"
#include "agent/update_check.h"
#include "platform/http.h"
#include "client/auth_header.h"
#include "client/backend.h"
#include "common/config.h"
#include "platform/known_folders.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/win32/wide.h"
#include "sync/state/progress_entries.h"
#include "sync/state/recent_transfers.h"
#include "tests/windows/ui_screenshot.h"
#include "tests/support/test_hooks.h"

namespace zem::agent {
namespace {
namespace fs = std::filesystem;
using platform::win32::ToW;
using testing::CaptureScreen;
using testing::Pixel;
using testing::WritePng;

// --- the notification seam -------------------------------------------------

struct NotifyCall {
  DWORD message = 0;
  UINT flags = 0, id = 0, callback = 0;
  bool has_icon = false;
  std::wstring tip, info_title, info;
  DWORD info_flags = 0;
};
std::mutex g_calls_mu;
std::vector<NotifyCall> g_calls;

BOOL WINAPI RecordNotify(DWORD message, PNOTIFYICONDATAW d) {
  NotifyCall c;
  c.message = message;
  c.flags = d->uFlags;
  c.id = d->uID;
  c.callback = d->uCallbackMessage;
  c.has_icon = d->hIcon != nullptr;
  if (d->uFlags & NIF_TIP) c.tip = d->szTip;
  if (d->uFlags & NIF_INFO) {
    c.info_title = d->szInfoTitle;
    c.info = d->szInfo;
    c.info_flags = d->dwInfoFlags;
  }
  std::lock_guard<std::mutex> lock(g_calls_mu);
  g_calls.push_back(c);
  return TRUE;
}

std::vector<NotifyCall> Calls() {
  std::lock_guard<std::mutex> lock(g_calls_mu);
  return g_calls;
}

std::wstring LastTip() {
  const std::vector<NotifyCall> calls = Calls();
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
    if (it->message == NIM_MODIFY && (it->flags & NIF_TIP)) return it->tip;
  }
  return L"";
}

// --- waiting and reading windows -----------------------------------------

template <typename F>
bool WaitFor(F ready, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ready();
}

std::wstring Text(HWND w) {
  wchar_t buf[1024] = {};
  GetWindowTextW(w, buf, 1024);
  return buf;
}

std::wstring ClassOf(HWND w) {
  wchar_t buf[128] = {};
  GetClassNameW(w, buf, 128);
  return buf;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> out;
  EnumChildWindows(
      parent,
      [](HWND w, LPARAM lp) {
        reinterpret_cast<std::vector<HWND>*>(lp)->push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&out));
  return out;
}

HWND ChildByText(HWND parent, const std::wstring& cls, const std::wstring& prefix) {
  for (HWND c : Children(parent)) {
    if (_wcsicmp(ClassOf(c).c_str(), cls.c_str()) == 0 && Text(c).rfind(prefix, 0) == 0) return c;
  }
  return nullptr;
}

HWND ChildByClass(HWND parent, const std::wstring& cls) {
  for (HWND c : Children(parent)) {
    if (_wcsicmp(ClassOf(c).c_str(), cls.c_str()) == 0) return c;
  }
  return nullptr;
}

std::wstring ListCell(HWND list, int row, int col) {
  wchar_t buf[512] = {};
  LVITEMW item{};
  item.iSubItem = col;
  item.pszText = buf;
  item.cchTextMax = 512;
  SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
  return buf;
}

std::wstring StatusPart(HWND bar, int part) {
  wchar_t buf[512] = {};
  SendMessageW(bar, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(buf));
  return buf;
}

std::wstring W(const std::u16string& s) { return ToW(s); }

// The visible top-level window of a class with a title, or null.
HWND Visible(const wchar_t* cls, const wchar_t* title) {
  HWND w = FindWindowW(cls, title);
  return w && IsWindowVisible(w) ? w : nullptr;
}

// The message box of the agent ("#32770", caption "ZEM云盘"): its text.
std::wstring MessageBoxText(HWND box) {
  for (HWND c : Children(box)) {
    if (_wcsicmp(ClassOf(c).c_str(), L"Static") == 0 && !Text(c).empty()) return Text(c);
  }
  return L"";
}

void Press(HWND box, int id) {
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
}

fs::path BuildFolder() { return fs::path(ZEM_BIN_DIR).parent_path(); }

bool Near(Pixel p, Pixel want, int slack = 3) {
  return std::abs(p.r - want.r) <= slack && std::abs(p.g - want.g) <= slack &&
         std::abs(p.b - want.b) <= slack;
}

std::string Show(Pixel p) {
  return "(" + std::to_string(p.r) + ", " + std::to_string(p.g) + ", " + std::to_string(p.b) + ")";
}

// --- the zemd fixture ------------------------------------------------------

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

// One request to zemd's admin interface (loopback, X-Admin-Key).
platform::HttpResult Admin(const fs::path& fixture, const std::string& verb,
                           const std::string& path, const std::string& body,
                           std::string* answer = nullptr) {
  platform::HttpRequest r;
  r.host = u"127.0.0.1";
  r.port = static_cast<uint16_t>(std::atoi(ReadLine(fixture / "port").c_str()));
  r.user_agent = u"zem-ui-test";
  r.verb = verb;
  r.path = path;
  r.headers = {u"X-Admin-Key: " + platform::Utf8ToWide(ReadLine(fixture / "admin_key")),
               u"Content-Type: application/json"};
  r.body = body;
  if (answer) {
    r.body_sink = [answer](std::string_view chunk) {
      answer->append(chunk);
      return true;
    };
  }
  return platform::PerformHttp(r);
}

// How many quota requests zemd's log holds.
int QuotaRequests(const fs::path& fixture) {
  std::string log;
  Admin(fixture, "GET", "/admin/requests", "", &log);
  int n = 0;
  for (size_t at = 0; (at = log.find("/zem/api/cloud-disk/quota", at)) != std::string::npos; ++at) ++n;
  return n;
}

fs::path FixtureDir() {
  const char* dir = std::getenv("ZEM_ZEMD_FIXTURE");
  return dir ? platform::PathFromUtf8(dir) : fs::path();
}

// --- the tray on its own thread -------------------------------------------

class TrayThread {
 public:
  TrayThread() {
    thread_ = std::thread([this] {
      ok_ = RunTrayLoop();
      done_ = true;
    });
  }
  ~TrayThread() {
    if (HWND tray = ui::TrayWindow()) PostMessageW(tray, WM_COMMAND, kCmdExit, 0);
    if (thread_.joinable()) thread_.join();
  }
  HWND Window() const {
    HWND w = nullptr;
    WaitFor([&] { return (w = FindWindowExW(HWND_MESSAGE, nullptr, ui::kTrayClass, L"ZEM云盘")); });
    return w;
  }
  bool done() const { return done_; }
  bool ok() const { return ok_; }

 private:
  std::atomic<bool> done_{false}, ok_{false};
  std::thread thread_;
};

class UiWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Wine passes the Unix environment on: without a display the windows
    // cannot be shown (scripts/test runs these under Xvfb).
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display (run under xvfb-run)";
    AgentRunning = true;
    ResetProgressEntriesForTest();
    ResetRecentTransfersForTest();
    {
      std::lock_guard<std::mutex> lock(g_calls_mu);
      g_calls.clear();
    }
    ui::SetNotifyIconFunctionForTest(RecordNotify);
    SetShellHandlerForTest([this](ShellAction a, std::u16string_view t) {
      std::lock_guard<std::mutex> lock(shell_mu_);
      shell_.emplace_back(a, std::u16string(t));
      return true;
    });
    fixture_ = FixtureDir();
    BackendConfig config;
    config.host = u"127.0.0.1";
    config.port = static_cast<uint16_t>(std::atoi(ReadLine(fixture_ / "port").c_str()));
    SetBackend(config, AuthHeaderForToken(ReadLine(fixture_ / "token")));
  }
  void TearDown() override {
    SetShellHandlerForTest(nullptr);
    ui::SetNotifyIconFunctionForTest(nullptr);
    // Leave the prefix as the other Windows tests expect it: no sync-root
    // folder, no configuration, no recent transfers, no download folder.
    ResetRecentTransfersForTest();
    std::error_code ec;
    fs::remove_all(SyncRootDir(), ec);
    fs::remove(ConfigFilePath(), ec);
    fs::remove(StateFilePath("recent_transfers.txt"), ec);
    fs::remove_all(platform::TempFolder() / "zem-cloud-disk-update", ec);
  }

  std::vector<std::pair<ShellAction, std::u16string>> ShellCalls() {
    std::lock_guard<std::mutex> lock(shell_mu_);
    return shell_;
  }

  std::mutex shell_mu_;
  std::vector<std::pair<ShellAction, std::u16string>> shell_;
  fs::path fixture_;
};

TEST_F(UiWineTest, TrayIconTipBalloonMenuAndCommands) {
  ASSERT_FALSE(fixture_.empty()) << "ZEM_ZEMD_FIXTURE is not set";
  TrayThread tray;
  HWND window = tray.Window();
  ASSERT_NE(window, nullptr) << "no message-only window of class ZemCloudDiskTrayWnd";

  // The icon: id 1, callback 1025, tip "ZEM云盘", an icon loaded.
  ASSERT_TRUE(WaitFor([] { return !Calls().empty(); }));
  const NotifyCall add = Calls().front();
  EXPECT_EQ(add.message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(add.flags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
  EXPECT_EQ(add.id, 1u);
  EXPECT_EQ(add.callback, 1025u);
  EXPECT_EQ(add.tip, L"ZEM云盘");
  EXPECT_TRUE(add.has_icon);

  // Tips for 0, 1 and 3 active uploads; the workers' reports post 1026.
  SendMessageW(window, WM_USER + 2, 0, 0);
  EXPECT_EQ(LastTip(), L"ZEM云盘 · 已同步");
  const std::u16string thirty = u"季度报告-2026-第四季度-财务部-汇总表-最终版本v3.xlsx";
  ReportTransferProgress(1, thirty, 50, 100, TransferStatus::kActive);
  const std::wstring one = L"ZEM云盘 · 上传 " + W(std::u16string(thirty.substr(0, 20))) + L" 50%";
  EXPECT_TRUE(WaitFor([&] { return LastTip() == one; })) << LastTip();
  ReportTransferProgress(2, u"b.txt", 0, 10, TransferStatus::kActive);
  ReportTransferProgress(3, u"c.txt", 0, 0, TransferStatus::kActive);
  const std::wstring three =
      L"ZEM云盘 · 上传 " + W(std::u16string(thirty.substr(0, 16))) + L" 50% (+2 排队)";
  EXPECT_TRUE(WaitFor([&] { return LastTip() == three; })) << LastTip();
  // Every modification of the tip sets only NIF_TIP on icon 1.
  for (const NotifyCall& c : Calls()) {
    if (c.message == NIM_MODIFY && c.tip.size()) {
      EXPECT_EQ(c.flags, static_cast<UINT>(NIF_TIP));
      EXPECT_EQ(c.id, 1u);
    }
  }

  // A balloon from a worker thread: title cut to 63, the error icon.
  std::thread([] {
    ShowTrayBalloon(std::u16string(70, u'标'), u"上传失败：c.txt", true);
  }).join();
  const auto calls = Calls();
  const NotifyCall& balloon = calls.back();
  EXPECT_EQ(balloon.flags, static_cast<UINT>(NIF_INFO));
  EXPECT_EQ(balloon.info_title, std::wstring(63, L'标'));
  EXPECT_EQ(balloon.info, L"上传失败：c.txt");
  EXPECT_EQ(balloon.info_flags, static_cast<DWORD>(NIIF_ERROR));

  // Twelve entries: the menu shows the summary and 8 detail lines, active
  // first, then the commands. The driver reads the open menu, then closes it.
  for (uint64_t k = 4; k <= 12; ++k) {
    ReportTransferProgress(k, u"f" + DecimalU16(static_cast<int64_t>(k)), 1, 1,
                           k % 3 ? TransferStatus::kDone : TransferStatus::kFailed);
  }
  PostMessageW(window, WM_USER + 1, 0, WM_RBUTTONUP);
  HWND menu_window = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (menu_window = Visible(L"#32768", nullptr)) != nullptr; }));
  HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menu_window, 0x01E1 /* MN_GETHMENU */, 0, 0));
  ASSERT_NE(menu, nullptr);
  std::vector<std::wstring> texts;
  std::vector<UINT> ids, states;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    wchar_t buf[256] = {};
    GetMenuStringW(menu, i, buf, 256, MF_BYPOSITION);
    texts.push_back(buf);
    ids.push_back(GetMenuItemID(menu, i));
    states.push_back(GetMenuState(menu, i, MF_BYPOSITION));
  }
  ASSERT_EQ(texts.size(), 18u);
  EXPECT_EQ(texts[0], L"上传：3 进行中 · 6 完成 · 3 失败");
  EXPECT_EQ(texts[1], L"   ↑ " + W(std::u16string(thirty)) + L"  50%");
  EXPECT_EQ(texts[3], L"   ↑ c.txt  0%");
  EXPECT_EQ(texts[4], L"   ✓ f4");
  EXPECT_EQ(texts[6], L"   ✗ f6");
  EXPECT_EQ(texts[8], L"   ✓ f8");
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(states[i] & MF_GRAYED) << i;
  EXPECT_EQ(std::vector<UINT>(ids.begin() + 9, ids.end()),
            (std::vector<UINT>{0, 1005, 1001, 1003, 0, 1004, 1006, 0, 1002}));
  EXPECT_TRUE(states[9] & MF_SEPARATOR);
  EXPECT_EQ(texts[10], L"打开控制面板");
  EXPECT_EQ(texts[11], L"打开 ZEM云盘");
  EXPECT_EQ(texts[12], L"在浏览器打开（含版本管理）");
  EXPECT_EQ(texts[14], L"登录 / 切换账号");
  EXPECT_EQ(texts[15], L"检查更新…");
  EXPECT_EQ(texts[17], L"退出");
  EXPECT_FALSE(states[17] & MF_GRAYED);
  PostMessageW(menu_window, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_TRUE(WaitFor([] { return Visible(L"#32768", nullptr) == nullptr; }));

  // The commands that hand something to the desktop.
  for (int id : {1001, 1003, 1004}) PostMessageW(window, WM_COMMAND, id, 0);
  ASSERT_TRUE(WaitFor([&] { return ShellCalls().size() >= 3; }));
  const auto shell = ShellCalls();
  EXPECT_EQ(shell[0].first, ShellAction::kOpen);
  EXPECT_EQ(fs::path(shell[0].second), SyncRootDir());
  EXPECT_EQ(shell[1].second, BuildWebUrl(Backend(), u"/#/cloud-disk"));
  EXPECT_EQ(shell[2].first, ShellAction::kLaunch);
  EXPECT_EQ(fs::path(shell[2].second).filename(), "keygate.exe");

  // Exit, chosen in the menu with the keyboard: the flag is cleared, the
  // loop ends, and the icon is removed.
  PostMessageW(window, WM_USER + 1, 0, WM_RBUTTONUP);
  ASSERT_TRUE(WaitFor([&] { return (menu_window = Visible(L"#32768", nullptr)) != nullptr; }));
  PostMessageW(menu_window, WM_KEYDOWN, VK_UP, 0);
  PostMessageW(menu_window, WM_KEYDOWN, VK_RETURN, 0);
  ASSERT_TRUE(WaitFor([&] { return tray.done(); }));
  EXPECT_TRUE(tray.ok());
  EXPECT_FALSE(AgentRunning.load());
  EXPECT_EQ(Calls().back().message, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(ui::TrayWindow(), nullptr);
}

// The notification area refuses the icon (Explorer not running): the tray
// reports failure, its window is gone, and no quit message is left to end
// the caller's next loop.
BOOL WINAPI RefuseNotify(DWORD message, PNOTIFYICONDATAW d) {
  RecordNotify(message, d);
  return FALSE;
}

TEST_F(UiWineTest, TrayWithoutANotificationAreaReportsFailure) {
  ui::SetNotifyIconFunctionForTest(RefuseNotify);
  std::atomic<bool> ok{true}, quit_left{true};
  std::thread([&] {
    ok = RunTrayLoop();
    MSG m;
    quit_left = PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
  }).join();
  EXPECT_FALSE(ok.load());
  EXPECT_FALSE(quit_left.load());
  EXPECT_EQ(FindWindowExW(HWND_MESSAGE, nullptr, ui::kTrayClass, nullptr), nullptr);
  EXPECT_EQ(ui::TrayWindow(), nullptr);
  ASSERT_FALSE(Calls().empty());
  EXPECT_EQ(Calls().front().message, static_cast<DWORD>(NIM_ADD));
  // Balloons without an icon go nowhere.
  const size_t before = Calls().size();
  ShowTrayBalloon(u"上传完成", u"a.txt", false);
  EXPECT_EQ(Calls().size(), before);
}

TEST_F(UiWineTest, PanelWithThreeTransfersAndPopupWithAFailureBand) {
  ASSERT_FALSE(fixture_.empty()) << "ZEM_ZEMD_FIXTURE is not set";
  std::error_code ec;
  fs::remove(StateFilePath("recent_transfers.txt"), ec);  // a run before this one
  LoadRecentTransfers();
  ReportTransferProgress(1, u"季度报告.docx", 512 * 1024, 2 * 1024 * 1024, TransferStatus::kActive);
  ReportTransferProgress(2, u"设计稿-首页.psd", 3 << 20, 3 << 20, TransferStatus::kDone);
  ReportTransferProgress(3, u"会议纪要.txt", 0, 0, TransferStatus::kFailed);
  for (int i = 0; i < 14; ++i) {
    RecordRecentTransfer(u"照片-" + DecimalU16(i) + u".jpg",
                         i % 5 == 4 ? TransferStatus::kFailed : TransferStatus::kDone);
  }
  TrayThread tray;
  HWND window = tray.Window();
  ASSERT_NE(window, nullptr);

  // A double click on the icon opens the panel.
  PostMessageW(window, WM_USER + 1, 0, WM_LBUTTONDBLCLK);
  HWND panel = nullptr;
  ASSERT_TRUE(WaitFor([&] {
    return (panel = Visible(ui::kPanelClass, L"ZEM云盘 · 控制面板")) != nullptr;
  }));
  RECT wr{};
  GetWindowRect(panel, &wr);
  EXPECT_EQ(wr.right - wr.left, 820);
  EXPECT_EQ(wr.bottom - wr.top, 580);
  EXPECT_EQ(wr.left, (GetSystemMetrics(SM_CXSCREEN) - 820) / 2);

  HWND list = ChildByClass(panel, WC_LISTVIEWW);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(GetDlgCtrlID(list), 2010);
  ASSERT_TRUE(WaitFor([&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 3; }));
  EXPECT_EQ(ListCell(list, 0, 0), L"季度报告.docx");
  EXPECT_EQ(ListCell(list, 0, 1), L"25%   512.00 KB / 2.00 MB");
  EXPECT_EQ(ListCell(list, 0, 2), L"⏳ 上传中");
  EXPECT_EQ(ListCell(list, 1, 1), L"100%   3.00 MB / 3.00 MB");
  EXPECT_EQ(ListCell(list, 1, 2), L"✓ 已完成");
  EXPECT_EQ(ListCell(list, 2, 1), L"—");
  EXPECT_EQ(ListCell(list, 2, 2), L"✗ 失败");
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  EXPECT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 3);
  EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0), 360);
  EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0), 240);
  EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 2, 0), 100);

  HWND status = ChildByClass(panel, STATUSCLASSNAMEW);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(StatusPart(status, 0), L"  传输：3 项");
  EXPECT_EQ(StatusPart(status, 1), L"  队列：0");
  EXPECT_EQ(StatusPart(status, 2), L"  " + SyncRootDir().wstring());
  EXPECT_EQ(StatusPart(status, 3), L"  ZEM v1.0");
  int ends[4] = {};
  EXPECT_EQ(SendMessageW(status, SB_GETPARTS, 4, reinterpret_cast<LPARAM>(ends)), 4);
  EXPECT_EQ(ends[0], 120);
  EXPECT_EQ(ends[1], 200);
  EXPECT_EQ(ends[2], 600);

  // The six buttons in position order, 122 × 36 at top 76.
  const wchar_t* names[] = {L"我的文档", L"打开云盘", L"Web 版", L"回收站", L"刷新", L"设置 / 登录"};
  const int button_ids[] = {2001, 2002, 2003, 2005, 2004, 2006};
  for (int i = 0; i < 6; ++i) {
    HWND b = ChildByText(panel, L"Button", names[i]);
    ASSERT_NE(b, nullptr) << i;
    EXPECT_EQ(GetDlgCtrlID(b), button_ids[i]);
    RECT br{};
    GetWindowRect(b, &br);
    MapWindowPoints(nullptr, panel, reinterpret_cast<POINT*>(&br), 2);
    EXPECT_EQ(br.left, 12 + 134 * i);
    EXPECT_EQ(br.top, 76);
    EXPECT_EQ(br.right - br.left, 122);
  }

  // The quota label from zemd, as the panel's own request got it.
  QuotaInfo quota;
  ASSERT_TRUE(GetQuota(quota));
  const std::wstring quota_text = W(QuotaLabelText(&quota, true));
  HWND label = nullptr;
  ASSERT_TRUE(WaitFor([&] {
    label = ChildByText(panel, L"Static", L"  云空间：");
    return label && Text(label) == quota_text;
  })) << (label ? platform::win32::WToUtf8(Text(label)) : "no label");
  EXPECT_TRUE(WaitFor([] { return !ui::QuotaRequestInFlight(); }));

  // 回收站: the web page while the local folder is missing, then the folder.
  fs::remove_all(SyncRootDir(), ec);
  SendMessageW(panel, WM_COMMAND, 2005, 0);
  fs::create_directories(SyncRootDir() / L"ZEM 回收站");
  SendMessageW(panel, WM_COMMAND, 2005, 0);
  SendMessageW(panel, WM_COMMAND, 2003, 0);
  const auto shell = ShellCalls();
  ASSERT_EQ(shell.size(), 3u);
  EXPECT_EQ(shell[0].second, BuildWebUrl(Backend(), u"/#/oa/cloud-disk?status=2"));
  EXPECT_EQ(fs::path(shell[1].second), SyncRootDir() / L"ZEM 回收站");
  EXPECT_EQ(shell[2].second, BuildWebUrl(Backend(), u"/#/oa/cloud-disk"));

  // Refresh clicks while a request runs start no second one.
  for (int i = 0; i < 5; ++i) SendMessageW(panel, WM_COMMAND, 2004, 0);
  EXPECT_TRUE(WaitFor([] { return !ui::QuotaRequestInFlight(); }));

  // The screenshot: the header band in the accent blue, the title drawn on it.
  RedrawWindow(panel, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  RECT client{};
  GetClientRect(panel, &client);
  MapWindowPoints(panel, nullptr, reinterpret_cast<POINT*>(&client), 2);
  const auto shot = CaptureScreen(client);
  EXPECT_TRUE(WritePng(BuildFolder() / "ui_panel.png", shot));
  EXPECT_TRUE(Near(shot.At(700, 60), {16, 124, 220})) << Show(shot.At(700, 60));
  EXPECT_TRUE(Near(shot.At(5, 5), {16, 124, 220})) << Show(shot.At(5, 5));
  int white_in_title = 0;
  for (int y = 10; y < 34; ++y) {
    for (int x = 20; x < 120; ++x) white_in_title += Near(shot.At(x, y), {255, 255, 255}, 40);
  }
  EXPECT_GT(white_in_title, 20) << "no title text drawn in the header";

  // Resizing moves the list with the window, but not below 51 pixels.
  HWND status_bar = ChildByClass(panel, STATUSCLASSNAMEW);
  auto list_rect = [&] {
    RECT r{};
    GetWindowRect(list, &r);
    MapWindowPoints(nullptr, panel, reinterpret_cast<POINT*>(&r), 2);
    return r;
  };
  SetWindowPos(panel, nullptr, 0, 0, 900, 700, SWP_NOMOVE | SWP_NOZORDER);
  RECT cr{}, sbr{};
  GetClientRect(panel, &cr);
  GetWindowRect(status_bar, &sbr);
  const int sb = sbr.bottom - sbr.top;
  RECT lr = list_rect();
  EXPECT_EQ(lr.top, 186);
  EXPECT_EQ(lr.right - lr.left, cr.right - 24);
  EXPECT_EQ(lr.bottom - lr.top, cr.bottom - sb - 198);
  SetWindowPos(panel, nullptr, 0, 0, 700, 260, SWP_NOMOVE | SWP_NOZORDER);
  GetClientRect(panel, &cr);
  ASSERT_LT(cr.bottom - sb - 198, 51);
  const RECT kept = list_rect();
  EXPECT_TRUE(EqualRect(&lr, &kept)) << "the list moved for a client " << cr.bottom << " high";
  SetWindowPos(panel, nullptr, wr.left, wr.top, 820, 580, SWP_NOZORDER);

  // Closing keeps the window; showing it again brings back the same one at
  // the same place.
  PostMessageW(panel, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(panel); }));
  EXPECT_TRUE(IsWindow(panel));
  PostMessageW(window, WM_COMMAND, 1005, 0);
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(panel); }));
  RECT again{};
  GetWindowRect(panel, &again);
  EXPECT_TRUE(EqualRect(&wr, &again));
  EXPECT_EQ(FindWindowW(ui::kPanelClass, nullptr), panel);
  PostMessageW(panel, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(panel); }));

  // A click on the icon shows the popup above the notification area.
  PostMessageW(window, WM_USER + 1, 0, WM_LBUTTONUP);
  HWND popup = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (popup = Visible(ui::kPopupClass, L"ZEM同步进度")) != nullptr; }));
  RECT work{}, pr{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  GetWindowRect(popup, &pr);
  EXPECT_EQ(pr.left, work.right - 352);
  EXPECT_EQ(pr.top, work.bottom - 444);
  EXPECT_EQ(pr.right - pr.left, 340);
  EXPECT_EQ(pr.bottom - pr.top, 432);
  EXPECT_TRUE(GetWindowLongW(popup, GWL_EXSTYLE) & WS_EX_TOPMOST);

  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // a timer repaint
  RECT pc{};
  GetClientRect(popup, &pc);
  const int pw = pc.right, ph = pc.bottom;
  MapWindowPoints(popup, nullptr, reinterpret_cast<POINT*>(&pc), 2);
  const auto pshot = CaptureScreen(pc);
  EXPECT_TRUE(WritePng(BuildFolder() / "ui_popup.png", pshot));
  EXPECT_TRUE(Near(pshot.At(3, 3), {16, 124, 220})) << Show(pshot.At(3, 3));
  EXPECT_TRUE(Near(pshot.At(3, 60), {255, 244, 244})) << Show(pshot.At(3, 60));  // the band
  EXPECT_TRUE(Near(pshot.At(3, ph - 5), {245, 247, 250})) << Show(pshot.At(3, ph - 5));
  // Rows are 38 pixels from y 108 (below the band); as many as fit above the
  // footer are drawn, each with its separator line.
  int drawn = 0;
  for (int y = 108 + 38; y + 0 <= ph - 44 - 2; y += 38) {
    EXPECT_TRUE(Near(pshot.At(pw / 2, y), {238, 238, 238})) << "separator at y " << y;
    ++drawn;
  }
  EXPECT_EQ(drawn, (ph - 44 - 2 - 108) / 38);
  // Failure text in the band and a percentage in the first row's status.
  int red = 0, blue = 0;
  for (int y = 50; y < 74; ++y) {
    for (int x = 12; x < pw - 64; ++x) red += Near(pshot.At(x, y), {200, 50, 50}, 60);
  }
  for (int y = 110; y < 144; ++y) {
    for (int x = pw - 82; x < pw - 14; ++x) blue += Near(pshot.At(x, y), {16, 124, 220}, 60);
  }
  EXPECT_GT(red, 10) << "no failure text in the band";
  EXPECT_GT(blue, 5) << "no percentage in the first row";

  // Clicking elsewhere in the popup does nothing; the failure link hides it
  // and opens the panel.
  PostMessageW(popup, WM_LBUTTONUP, 0, MAKELPARAM(100, 200));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(IsWindowVisible(popup));
  PostMessageW(popup, WM_LBUTTONUP, 0, MAKELPARAM(pw - 30, 60));
  ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(popup) && IsWindowVisible(panel); }));

  // Shown again, it hides when it loses activation.
  PostMessageW(window, WM_USER + 1, 0, WM_LBUTTONUP);
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(popup); }));
  EXPECT_EQ(FindWindowW(ui::kPopupClass, nullptr), popup);  // the same window
  PostMessageW(popup, WM_ACTIVATE, WA_INACTIVE, 0);
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(popup); }));
  // The close box hides it too.
  PostMessageW(window, WM_USER + 1, 0, WM_LBUTTONUP);
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(popup); }));
  PostMessageW(popup, WM_LBUTTONUP, 0, MAKELPARAM(pw - 25, 23));
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(popup); }));
}

TEST_F(UiWineTest, SlowQuotaRunsOnceAndNeverReachesADestroyedPanel) {
  ASSERT_FALSE(fixture_.empty()) << "ZEM_ZEMD_FIXTURE is not set";
  // Every quota answer takes two seconds.
  const auto fault = Admin(fixture_, "POST", "/admin/faults",
                           R"({"path":"/zem/api/cloud-disk/quota","kind":"delay",)"
                           R"("delay_ms":2000,"count":20})");
  ASSERT_TRUE(fault.ok() && fault.status == 200);
  const int before = QuotaRequests(fixture_);
  {
    TrayThread tray;
    HWND window = tray.Window();
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_USER + 1, 0, WM_LBUTTONDBLCLK);
    HWND panel = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (panel = Visible(ui::kPanelClass, nullptr)) != nullptr; }));
    ASSERT_TRUE(ui::QuotaRequestInFlight());
    // Refresh clicks and a second show while the first request runs.
    for (int i = 0; i < 5; ++i) SendMessageW(panel, WM_COMMAND, 2004, 0);
    PostMessageW(window, WM_COMMAND, 1005, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Text(ChildByText(panel, L"Static", L"  云空间：")), L"  云空间：加载中…");
    // The tray's thread ends, and its windows with it, while the request runs.
  }
  EXPECT_EQ(ui::PanelWindow() == nullptr || !IsWindow(ui::PanelWindow()), true);
  ASSERT_TRUE(WaitFor([] { return !ui::QuotaRequestInFlight(); }, 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(QuotaRequests(fixture_) - before, 1) << "overlapping quota requests";

  // A new panel is built whole and gets its quota.
  Admin(fixture_, "POST", "/admin/faults/clear", "{}");
  AgentRunning = true;
  TrayThread tray;
  HWND window = tray.Window();
  ASSERT_NE(window, nullptr);
  PostMessageW(window, WM_COMMAND, 1005, 0);
  HWND panel = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (panel = Visible(ui::kPanelClass, nullptr)) != nullptr; }));
  HWND label = nullptr;
  EXPECT_TRUE(WaitFor([&] {
    label = ChildByText(panel, L"Static", L"  云空间：");
    return label && Text(label).find(L"个文件夹") != std::wstring::npos;
  }));
  // A failing quota request says it is still fetching; the bar keeps its place.
  HWND bar = ChildByClass(panel, PROGRESS_CLASSW);
  ASSERT_NE(bar, nullptr);
  const LRESULT position = SendMessageW(bar, PBM_GETPOS, 0, 0);
  const auto failing = Admin(fixture_, "POST", "/admin/faults",
                             R"({"path":"/zem/api/cloud-disk/quota","kind":"status",)"
                             R"("status":500,"count":1})");
  ASSERT_TRUE(failing.ok() && failing.status == 200);
  SendMessageW(panel, WM_COMMAND, 2004, 0);
  EXPECT_TRUE(WaitFor([&] { return Text(label) == L"  云空间：获取中…"; })) << Text(label).size();
  EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), position);
}

TEST_F(UiWineTest, UpdateCheckOverTlsDownloadsAndStartsTheInstaller) {
  ASSERT_FALSE(fixture_.empty()) << "ZEM_ZEMD_FIXTURE is not set";
  const fs::path updates = fixture_ / "updates";
  fs::create_directories(updates / "v2");
  const fs::path installer = fs::path(ZEM_BIN_DIR) / "zem_fake_installer.exe";
  ASSERT_TRUE(fs::exists(installer));
  fs::remove(updates / "v2" / "setup.exe");  // mingw's copy_file cannot overwrite
  fs::copy_file(installer, updates / "v2" / "setup.exe");
  const std::string sha = platform::Sha256File(updates / "v2" / "setup.exe").hex;
  // The update server is a setting: zemd's TLS port with its certificate.
  fs::create_directories(AppDataDir());
  std::ofstream(ConfigFilePath(), std::ios::binary)
      << "{\"updateHost\":\"127.0.0.1\",\"updatePort\":" << ReadLine(fixture_ / "tls_port")
      << ",\"updateCertificate\":\"" << platform::PathToUtf8(fixture_ / "tls.pem") << "\"}";
  const fs::path downloads = platform::TempFolder() / "zem-cloud-disk-update";
  std::error_code ec;
  fs::remove_all(downloads, ec);

  TrayThread tray;
  HWND window = tray.Window();
  ASSERT_NE(window, nullptr);
  auto check = [&](const std::string& manifest) {
    std::ofstream(updates / "latest.json", std::ios::binary) << manifest;
    PostMessageW(window, WM_COMMAND, 1006, 0);
  };
  // Waits for the agent's message box, returns its text and presses `button`.
  auto answer = [&](int button) {
    HWND box = nullptr;
    if (!WaitFor([&] { return (box = Visible(L"#32770", L"ZEM云盘")) != nullptr; }, 30000)) {
      return std::wstring(L"(no message box)");
    }
    const std::wstring text = MessageBoxText(box);
    EXPECT_EQ(GetWindow(box, GW_OWNER), window);
    Press(box, button);
    WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); });
    return text;
  };

  // Only HTTPS with the certificate of the setting: the plain-HTTP port, or
  // a server whose certificate is another, is no update server.
  auto write_config = [&](const std::string& port, const fs::path& certificate) {
    std::ofstream(ConfigFilePath(), std::ios::binary | std::ios::trunc)
        << "{\"updateHost\":\"127.0.0.1\",\"updatePort\":" << port
        << ",\"updateCertificate\":\"" << platform::PathToUtf8(certificate) << "\"}";
  };
  const std::string tls_port = ReadLine(fixture_ / "tls_port");
  write_config(ReadLine(fixture_ / "port"), fixture_ / "tls.pem");
  check(R"({"version":"1.0.10","file":"v2/setup.exe"})");
  EXPECT_EQ(answer(IDOK), W(kUpdateConnectFailedText));
  write_config(tls_port, fixture_ / "tls-other.pem");
  check(R"({"version":"1.0.10","file":"v2/setup.exe"})");
  EXPECT_EQ(answer(IDOK), W(kUpdateConnectFailedText));
  {
    // Nothing was downloaded on the strength of either answer.
    std::string log;
    Admin(fixture_, "GET", "/admin/requests", "", &log);
    EXPECT_EQ(log.find("v2/setup.exe"), std::string::npos);
  }
  write_config(tls_port, fixture_ / "tls.pem");

  check(R"({"version":"1.0.4","file":"v2/setup.exe"})");
  EXPECT_EQ(answer(IDOK), W(kUpdateLatestText));
  check(R"({"version":1.1,"file":"v2/setup.exe"})");
  EXPECT_EQ(answer(IDOK), W(kUpdateManifestBadText));

  // A download cut short: asked, then the download message; nothing started.
  const std::string newer =
      R"({"version":"1.0.10","file":"v2\/setup.exe","sha256":")" + sha + R"("})";
  // zemd cuts the installer after 1000 bytes, once.
  const auto fault = Admin(fixture_, "POST", "/admin/faults",
                           R"({"path":"/client/zem-cloud-disk/v2/setup.exe","kind":"cut",)"
                           R"("after_bytes":1000,"count":1})");
  ASSERT_TRUE(fault.ok() && fault.status == 200) << fault.status;
  check(newer);
  EXPECT_EQ(answer(IDYES), L"发现新版本 1.0.10，是否立即下载并升级？");
  EXPECT_EQ(answer(IDOK), W(kUpdateDownloadFailedText));
  EXPECT_FALSE(fs::exists(downloads / "v2" / "setup.exe"));
  EXPECT_FALSE(fs::exists(downloads / "installer-ran.txt"));
  EXPECT_FALSE(tray.done());

  // Declined: nothing happens.
  check(newer);
  EXPECT_EQ(answer(IDNO), L"发现新版本 1.0.10，是否立即下载并升级？");
  EXPECT_FALSE(fs::exists(downloads / "v2" / "setup.exe"));

  // Accepted: downloaded, checked, started in its folder, and the agent ends.
  check(newer);
  EXPECT_EQ(answer(IDYES), L"发现新版本 1.0.10，是否立即下载并升级？");
  ASSERT_TRUE(WaitFor([&] { return tray.done(); }, 30000));
  EXPECT_FALSE(AgentRunning.load());
  EXPECT_EQ(platform::Sha256File(downloads / "v2" / "setup.exe").hex, sha);
  EXPECT_TRUE(WaitFor([&] { return fs::exists(downloads / "installer-ran.txt"); }, 20000))
      << "the installer did not run in the download folder";
}

}  // namespace
}  // namespace zem::agent

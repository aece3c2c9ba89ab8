// The login window: a plain Win32 window hosting WebView2.
//
// Everything runs on the calling thread, a single-threaded COM apartment:
// WebView2 calls the handlers below from the window's message loop, so the
// session state needs no locks. Closing is always requested by posting
// WM_CLOSE, never by destroying the window from inside a WebView2 handler.
#include <windows.h>

#include <functional>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/known_folders.h"
#include "platform/web_login.h"
#include "platform/win32/webview2_abi.h"
#include "platform/win32/wide.h"

namespace zem::platform {
namespace {

namespace wv = win32::webview2;

constexpr wchar_t kClassName[] = L"ZemWebLogin";
constexpr wchar_t kWindowTitle[] = L"ZEM云盘 - 登录";
constexpr int kWidth = 520;
constexpr int kHeight = 650;
constexpr wchar_t kProbeScript[] = L"window.localStorage.getItem('access-token')";
constexpr wchar_t kStartFailedText[] =
    L"无法启动 WebView2（CreateCoreWebView2EnvironmentWithOptions 失败）。\n"
    L"请确认已安装 Microsoft Edge WebView2 Runtime，且 WebView2Loader.dll 在程序同目录。";
constexpr wchar_t kEnvironmentFailedText[] =
    L"WebView2 环境创建失败。\n请确认已安装 Microsoft Edge WebView2 Runtime（Evergreen）。\n下载："
    L"https://developer.microsoft.com/microsoft-edge/webview2/";
constexpr wchar_t kControllerFailedText[] = L"WebView2 控制器创建失败。";

// A COM object implementing one WebView2 handler interface (IUnknown plus
// Invoke) by forwarding Invoke to a std::function. Created with one
// reference, which the creator releases once it has handed the object over.
template <typename Iface, typename Vtbl, typename... Args>
class Handler {
 public:
  using Fn = std::function<HRESULT(Args...)>;

  static Iface* Create(const IID& iid, Fn fn) {
    static_assert(std::is_standard_layout_v<Handler>);
    auto* f = new (std::nothrow) Fn(std::move(fn));
    if (!f) return nullptr;
    auto* h = new (std::nothrow) Handler(iid, f);
    if (!h) {
      delete f;
      return nullptr;
    }
    return reinterpret_cast<Iface*>(h);
  }

 private:
  Handler(const IID& iid, Fn* fn) : vtbl_(&kVtbl), refs_(1), iid_(&iid), fn_(fn) {}
  ~Handler() { delete fn_; }

  static Handler* Self(Iface* i) { return reinterpret_cast<Handler*>(i); }

  static HRESULT STDMETHODCALLTYPE QueryInterface(Iface* self, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, *Self(self)->iid_)) {
      *out = self;
      AddRef(self);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  static ULONG STDMETHODCALLTYPE AddRef(Iface* self) {
    return static_cast<ULONG>(InterlockedIncrement(&Self(self)->refs_));
  }
  static ULONG STDMETHODCALLTYPE Release(Iface* self) {
    const LONG left = InterlockedDecrement(&Self(self)->refs_);
    if (left == 0) delete Self(self);
    return static_cast<ULONG>(left);
  }
  static HRESULT STDMETHODCALLTYPE Invoke(Iface* self, Args... args) {
    return (*Self(self)->fn_)(args...);
  }

  static constexpr Vtbl kVtbl = {&QueryInterface, &AddRef, &Release, &Invoke};

  // Standard layout with the table pointer first, so a pointer to the object
  // is a pointer to Iface (whose only member is that table pointer).
  const Vtbl* vtbl_;
  LONG refs_;
  const IID* iid_;
  Fn* fn_;
};

using EnvironmentHandler =
    Handler<wv::ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
            wv::ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandlerVtbl, HRESULT,
            wv::ICoreWebView2Environment*>;
using ControllerHandler =
    Handler<wv::ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
            wv::ICoreWebView2CreateCoreWebView2ControllerCompletedHandlerVtbl, HRESULT,
            wv::ICoreWebView2Controller*>;
using NavigationHandler =
    Handler<wv::ICoreWebView2NavigationCompletedEventHandler,
            wv::ICoreWebView2NavigationCompletedEventHandlerVtbl, wv::ICoreWebView2*, IUnknown*>;
using HistoryHandler =
    Handler<wv::ICoreWebView2HistoryChangedEventHandler,
            wv::ICoreWebView2HistoryChangedEventHandlerVtbl, wv::ICoreWebView2*, IUnknown*>;
using ScriptHandler =
    Handler<wv::ICoreWebView2ExecuteScriptCompletedHandler,
            wv::ICoreWebView2ExecuteScriptCompletedHandlerVtbl, HRESULT, LPCWSTR>;

// Releases a COM reference held in the C form.
template <typename T>
void ReleaseRef(T*& p) {
  if (p) p->lpVtbl->Release(p);
  p = nullptr;
}

// The state of one window-mode run.
struct Session {
  const WebLoginRequest* request = nullptr;
  std::wstring url;
  HWND window = nullptr;
  wv::ICoreWebView2Controller* controller = nullptr;
  wv::ICoreWebView2* webview = nullptr;
  std::string token;  // once non-empty, never replaced

  void ShowError(const wchar_t* text) const {
    MessageBoxW(window, text, kWindowTitle, MB_OK | MB_ICONERROR);
  }
  void RequestClose() const { PostMessageW(window, WM_CLOSE, 0, 0); }

  void FitToWindow() const {
    if (!controller) return;
    RECT rc{};
    GetClientRect(window, &rc);
    controller->lpVtbl->put_Bounds(controller, rc);
  }

  HRESULT OnScriptResult(HRESULT hr, LPCWSTR json) {
    if (FAILED(hr) || !json) return S_OK;  // the next navigation probes again
    const std::string decoded = request->decode_token(win32::WToUtf8(json));
    if (!decoded.empty() && token.empty()) {
      token = decoded;
      RequestClose();
    }
    return S_OK;
  }

  // Asks the page for its token, unless one has been captured already.
  HRESULT Probe() {
    if (!webview || !token.empty()) return S_OK;
    auto* h = ScriptHandler::Create(
        wv::kIID_ExecuteScriptCompletedHandler,
        [this](HRESULT hr, LPCWSTR json) { return OnScriptResult(hr, json); });
    if (!h) return S_OK;
    webview->lpVtbl->ExecuteScript(webview, kProbeScript, h);
    ReleaseRef(h);
    return S_OK;
  }

  HRESULT OnControllerCreated(HRESULT hr, wv::ICoreWebView2Controller* created) {
    if (FAILED(hr) || !created) {
      ShowError(kControllerFailedText);
      RequestClose();
      return S_OK;
    }
    if (!IsWindow(window)) return S_OK;  // closed meanwhile
    controller = created;
    controller->lpVtbl->AddRef(controller);
    controller->lpVtbl->get_CoreWebView2(controller, &webview);
    FitToWindow();
    if (!webview) return S_OK;
    EventRegistrationToken reg{};
    if (auto* nav = NavigationHandler::Create(
            wv::kIID_NavigationCompletedEventHandler,
            [this](wv::ICoreWebView2*, IUnknown*) { return Probe(); })) {
      webview->lpVtbl->add_NavigationCompleted(webview, nav, &reg);
      ReleaseRef(nav);
    }
    if (auto* hist = HistoryHandler::Create(
            wv::kIID_HistoryChangedEventHandler,
            [this](wv::ICoreWebView2*, IUnknown*) { return Probe(); })) {
      webview->lpVtbl->add_HistoryChanged(webview, hist, &reg);
      ReleaseRef(hist);
    }
    webview->lpVtbl->Navigate(webview, url.c_str());
    return S_OK;
  }

  HRESULT OnEnvironmentCreated(HRESULT hr, wv::ICoreWebView2Environment* env) {
    if (FAILED(hr) || !env) {
      ShowError(kEnvironmentFailedText);
      RequestClose();
      return S_OK;
    }
    if (!IsWindow(window)) return S_OK;
    auto* h = ControllerHandler::Create(
        wv::kIID_ControllerCompletedHandler,
        [this](HRESULT r, wv::ICoreWebView2Controller* c) { return OnControllerCreated(r, c); });
    // A controller request that is refused outright ends like a failed one;
    // otherwise the window would wait forever.
    const HRESULT call =
        h ? env->lpVtbl->CreateCoreWebView2Controller(env, window, h) : E_OUTOFMEMORY;
    ReleaseRef(h);
    if (FAILED(call)) {
      ShowError(kControllerFailedText);
      RequestClose();
    }
    return S_OK;
  }

  // Starts WebView2 with the loader beside the program. False when the loader
  // is missing or refuses the call.
  bool StartEnvironment() {
    const auto loader_path = RunningProgramFolder() / wv::kLoaderDll;
    // The loader stays loaded until the process ends: WebView2 objects may
    // still call into it while the window is torn down.
    HMODULE loader = LoadLibraryW(loader_path.c_str());
    if (!loader) return false;
    auto create = reinterpret_cast<wv::CreateCoreWebView2EnvironmentWithOptionsFn>(
        reinterpret_cast<void*>(GetProcAddress(loader, wv::kCreateEnvironmentExport)));
    if (!create) return false;
    auto* h = EnvironmentHandler::Create(
        wv::kIID_EnvironmentCompletedHandler,
        [this](HRESULT r, wv::ICoreWebView2Environment* e) { return OnEnvironmentCreated(r, e); });
    if (!h) return false;
    const HRESULT hr = create(nullptr, request->user_data_folder.c_str(), nullptr, h);
    ReleaseRef(h);
    return SUCCEEDED(hr);
  }

  void OnDestroy() {
    if (controller) {
      controller->lpVtbl->Close(controller);
      ReleaseRef(controller);
    }
    ReleaseRef(webview);
    PostQuitMessage(0);
  }
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* s = reinterpret_cast<Session*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (s) {
    switch (msg) {
      case WM_SIZE:
        s->FitToWindow();
        return 0;
      case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
      case WM_DESTROY:
        s->OnDestroy();
        return 0;
      default:
        break;
    }
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

HWND CreateLoginWindow(Session* session) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = 0;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);  // a second run in the same process finds it registered
  const int left = (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2;
  const int top = (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2;
  return CreateWindowExW(0, kClassName, kWindowTitle, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                         left, top, kWidth, kHeight, nullptr, nullptr, instance, session);
}

}  // namespace

WebLoginResult RunWebLogin(const WebLoginRequest& request) {
  WebLoginResult result;
  result.outcome = WebLoginOutcome::kWindowClosed;
  const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  Session session;
  session.request = &request;
  session.url = win32::Utf8ToW(request.url);

  session.window = CreateLoginWindow(&session);
  if (session.window) {
    ShowWindow(session.window, SW_SHOW);
    SetForegroundWindow(session.window);
    std::error_code ec;
    std::filesystem::create_directories(request.user_data_folder, ec);  // WebView2 reports a failure
    if (!session.StartEnvironment()) {
      session.ShowError(kStartFailedText);
      DestroyWindow(session.window);
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  if (com) CoUninitialize();
  result.token = std::move(session.token);
  return result;
}

bool HasEmbeddedWebLogin() { return true; }

bool ShowMessageBox(MessageBoxIcon icon, std::string_view caption, std::string_view text) {
  UINT flags = MB_OK;
  switch (icon) {
    case MessageBoxIcon::kInformation: flags |= MB_ICONINFORMATION; break;
    case MessageBoxIcon::kWarning: flags |= MB_ICONWARNING; break;
    case MessageBoxIcon::kError: flags |= MB_ICONERROR; break;
  }
  const std::wstring c = win32::Utf8ToW(caption);
  const std::wstring t = win32::Utf8ToW(text);
  return MessageBoxW(nullptr, t.c_str(), c.c_str(), flags) != 0;
}

}  // namespace zem::platform

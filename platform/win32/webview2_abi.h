// Microsoft Edge WebView2: the part of its COM interface the login window
// uses, declared here because mingw-w64 ships no WebView2 headers.
//
// The declarations follow Microsoft's published WebView2 SDK (x64). Interfaces
// are written in the C form, a pointer to a table of function pointers, so
// that each method's slot number can be checked with static_assert below: a
// slot declared in the wrong place would call the wrong method at run time.
// Methods the login window does not call are declared too (every slot before
// the last one used must exist), with simplified argument types.
//
// WebView2Loader.dll is loaded at run time (LoadLibraryW + GetProcAddress;
// export names are undecorated).
#pragma once

#include <windows.h>
#include <eventtoken.h>
#include <objbase.h>

#include <cstddef>

namespace zem::platform::win32::webview2 {

struct ICoreWebView2;
struct ICoreWebView2Controller;
struct ICoreWebView2Environment;
struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler;
struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler;
struct ICoreWebView2NavigationCompletedEventHandler;
struct ICoreWebView2HistoryChangedEventHandler;
struct ICoreWebView2ExecuteScriptCompletedHandler;

// Slots 0-2 of every COM interface.
#define ZEM_IUNKNOWN_SLOTS(Self)                                      \
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(Self*, REFIID, void**); \
  ULONG(STDMETHODCALLTYPE* AddRef)(Self*);                           \
  ULONG(STDMETHODCALLTYPE* Release)(Self*)

// An event's add_/remove_ pair: (handler, token out) and (token).
#define ZEM_EVENT_SLOTS(Self, Name)                                                      \
  HRESULT(STDMETHODCALLTYPE* add_##Name)(Self*, IUnknown*, EventRegistrationToken*); \
  HRESULT(STDMETHODCALLTYPE* remove_##Name)(Self*, EventRegistrationToken)

// ---- ICoreWebView2Environment ----------------------------------------------
struct ICoreWebView2EnvironmentVtbl {
  ZEM_IUNKNOWN_SLOTS(ICoreWebView2Environment);
  HRESULT(STDMETHODCALLTYPE* CreateCoreWebView2Controller)(
      ICoreWebView2Environment*, HWND parentWindow,
      ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler);     // 3
  HRESULT(STDMETHODCALLTYPE* CreateWebResourceResponse)(
      ICoreWebView2Environment*, IUnknown* content, int statusCode, LPCWSTR reasonPhrase,
      LPCWSTR headers, IUnknown** response);                                   // 4
  HRESULT(STDMETHODCALLTYPE* get_BrowserVersionString)(ICoreWebView2Environment*,
                                                       LPWSTR* versionInfo);  // 5
  ZEM_EVENT_SLOTS(ICoreWebView2Environment, NewBrowserVersionAvailable);      // 6, 7
};
struct ICoreWebView2Environment {
  const ICoreWebView2EnvironmentVtbl* lpVtbl;
};

// ---- ICoreWebView2Controller -----------------------------------------------
struct ICoreWebView2ControllerVtbl {
  ZEM_IUNKNOWN_SLOTS(ICoreWebView2Controller);
  HRESULT(STDMETHODCALLTYPE* get_IsVisible)(ICoreWebView2Controller*, BOOL*);          // 3
  HRESULT(STDMETHODCALLTYPE* put_IsVisible)(ICoreWebView2Controller*, BOOL);           // 4
  HRESULT(STDMETHODCALLTYPE* get_Bounds)(ICoreWebView2Controller*, RECT*);             // 5
  HRESULT(STDMETHODCALLTYPE* put_Bounds)(ICoreWebView2Controller*, RECT);              // 6
  HRESULT(STDMETHODCALLTYPE* get_ZoomFactor)(ICoreWebView2Controller*, double*);       // 7
  HRESULT(STDMETHODCALLTYPE* put_ZoomFactor)(ICoreWebView2Controller*, double);        // 8
  ZEM_EVENT_SLOTS(ICoreWebView2Controller, ZoomFactorChanged);                         // 9, 10
  HRESULT(STDMETHODCALLTYPE* SetBoundsAndZoomFactor)(ICoreWebView2Controller*, RECT,
                                                     double);                          // 11
  HRESULT(STDMETHODCALLTYPE* MoveFocus)(ICoreWebView2Controller*, int reason);         // 12
  ZEM_EVENT_SLOTS(ICoreWebView2Controller, MoveFocusRequested);                        // 13, 14
  ZEM_EVENT_SLOTS(ICoreWebView2Controller, GotFocus);                                  // 15, 16
  ZEM_EVENT_SLOTS(ICoreWebView2Controller, LostFocus);                                 // 17, 18
  ZEM_EVENT_SLOTS(ICoreWebView2Controller, AcceleratorKeyPressed);                     // 19, 20
  HRESULT(STDMETHODCALLTYPE* get_ParentWindow)(ICoreWebView2Controller*, HWND*);       // 21
  HRESULT(STDMETHODCALLTYPE* put_ParentWindow)(ICoreWebView2Controller*, HWND);        // 22
  HRESULT(STDMETHODCALLTYPE* NotifyParentWindowPositionChanged)(ICoreWebView2Controller*);  // 23
  HRESULT(STDMETHODCALLTYPE* Close)(ICoreWebView2Controller*);                         // 24
  HRESULT(STDMETHODCALLTYPE* get_CoreWebView2)(ICoreWebView2Controller*,
                                               ICoreWebView2** coreWebView2);          // 25
};
struct ICoreWebView2Controller {
  const ICoreWebView2ControllerVtbl* lpVtbl;
};

// ---- ICoreWebView2 -----------------------------------------------------------
struct ICoreWebView2Vtbl {
  ZEM_IUNKNOWN_SLOTS(ICoreWebView2);
  HRESULT(STDMETHODCALLTYPE* get_Settings)(ICoreWebView2*, IUnknown** settings);      // 3
  HRESULT(STDMETHODCALLTYPE* get_Source)(ICoreWebView2*, LPWSTR* uri);                // 4
  HRESULT(STDMETHODCALLTYPE* Navigate)(ICoreWebView2*, LPCWSTR uri);                  // 5
  HRESULT(STDMETHODCALLTYPE* NavigateToString)(ICoreWebView2*, LPCWSTR html);         // 6
  ZEM_EVENT_SLOTS(ICoreWebView2, NavigationStarting);                                 // 7, 8
  ZEM_EVENT_SLOTS(ICoreWebView2, ContentLoading);                                     // 9, 10
  ZEM_EVENT_SLOTS(ICoreWebView2, SourceChanged);                                      // 11, 12
  HRESULT(STDMETHODCALLTYPE* add_HistoryChanged)(ICoreWebView2*,
                                                 ICoreWebView2HistoryChangedEventHandler*,
                                                 EventRegistrationToken*);            // 13
  HRESULT(STDMETHODCALLTYPE* remove_HistoryChanged)(ICoreWebView2*,
                                                    EventRegistrationToken);          // 14
  HRESULT(STDMETHODCALLTYPE* add_NavigationCompleted)(
      ICoreWebView2*, ICoreWebView2NavigationCompletedEventHandler*,
      EventRegistrationToken*);                                                       // 15
  HRESULT(STDMETHODCALLTYPE* remove_NavigationCompleted)(ICoreWebView2*,
                                                         EventRegistrationToken);     // 16
  ZEM_EVENT_SLOTS(ICoreWebView2, FrameNavigationStarting);                            // 17, 18
  ZEM_EVENT_SLOTS(ICoreWebView2, FrameNavigationCompleted);                           // 19, 20
  ZEM_EVENT_SLOTS(ICoreWebView2, ScriptDialogOpening);                                // 21, 22
  ZEM_EVENT_SLOTS(ICoreWebView2, PermissionRequested);                                // 23, 24
  ZEM_EVENT_SLOTS(ICoreWebView2, ProcessFailed);                                      // 25, 26
  HRESULT(STDMETHODCALLTYPE* AddScriptToExecuteOnDocumentCreated)(
      ICoreWebView2*, LPCWSTR javaScript, IUnknown* handler);                         // 27
  HRESULT(STDMETHODCALLTYPE* RemoveScriptToExecuteOnDocumentCreated)(ICoreWebView2*,
                                                                     LPCWSTR id);     // 28
  HRESULT(STDMETHODCALLTYPE* ExecuteScript)(ICoreWebView2*, LPCWSTR javaScript,
                                            ICoreWebView2ExecuteScriptCompletedHandler*);  // 29
  // Later slots (CapturePreview, Reload, ...) are not used.
};
struct ICoreWebView2 {
  const ICoreWebView2Vtbl* lpVtbl;
};

// ---- Completion and event handlers (implemented by the caller) -------------
// Each is IUnknown plus slot 3, Invoke.
struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandlerVtbl {
  ZEM_IUNKNOWN_SLOTS(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler);
  HRESULT(STDMETHODCALLTYPE* Invoke)(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*,
                                     HRESULT errorCode, ICoreWebView2Environment* result);
};
struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler {
  const ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandlerVtbl* lpVtbl;
};

struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandlerVtbl {
  ZEM_IUNKNOWN_SLOTS(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler);
  HRESULT(STDMETHODCALLTYPE* Invoke)(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler*,
                                     HRESULT errorCode, ICoreWebView2Controller* result);
};
struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler {
  const ICoreWebView2CreateCoreWebView2ControllerCompletedHandlerVtbl* lpVtbl;
};

struct ICoreWebView2NavigationCompletedEventHandlerVtbl {
  ZEM_IUNKNOWN_SLOTS(ICoreWebView2NavigationCompletedEventHandler);
  HRESULT(STDMETHODCALLTYPE* Invoke)(ICoreWebView2NavigationCompletedEventHandler*,
                                     ICoreWebView2* sender, IUnknown* args);
};
struct ICoreWebView2NavigationCompletedEventHandler {
  const ICoreWebView2NavigationCompletedEventHandlerVtbl* lpVtbl;
};

struct ICoreWebView2HistoryChangedEventHandlerVtbl {
  ZEM_IUNKNOWN_SLOTS(ICoreWebView2HistoryChangedEventHandler);
  HRESULT(STDMETHODCALLTYPE* Invoke)(ICoreWebView2HistoryChangedEventHandler*,
                                     ICoreWebView2* sender, IUnknown* args);
};
struct ICoreWebView2HistoryChangedEventHandler {
  const ICoreWebView2HistoryChangedEventHandlerVtbl* lpVtbl;
};

struct ICoreWebView2ExecuteScriptCompletedHandlerVtbl {
  ZEM_IUNKNOWN_SLOTS(ICoreWebView2ExecuteScriptCompletedHandler);
  HRESULT(STDMETHODCALLTYPE* Invoke)(ICoreWebView2ExecuteScriptCompletedHandler*,
                                     HRESULT errorCode, LPCWSTR resultObjectAsJson);
};
struct ICoreWebView2ExecuteScriptCompletedHandler {
  const ICoreWebView2ExecuteScriptCompletedHandlerVtbl* lpVtbl;
};

#undef ZEM_EVENT_SLOTS
#undef ZEM_IUNKNOWN_SLOTS

// ---- Interface ids -------------------------------------------------------------
inline constexpr IID kIID_ICoreWebView2Environment = {
    0xb96d755e, 0x0319, 0x4e92, {0xa2, 0x96, 0x23, 0x43, 0x6f, 0x46, 0xa1, 0xfc}};
inline constexpr IID kIID_ICoreWebView2Controller = {
    0x4d00c0d1, 0x9434, 0x4eb6, {0x80, 0x78, 0x86, 0x97, 0xa5, 0x60, 0x33, 0x4f}};
inline constexpr IID kIID_ICoreWebView2 = {
    0x76eceacb, 0x0462, 0x4d94, {0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77, 0x5e}};
inline constexpr IID kIID_EnvironmentCompletedHandler = {
    0x4e8a3389, 0xc9d8, 0x4bd2, {0xb6, 0xb5, 0x12, 0x4f, 0xee, 0x6c, 0xc1, 0x4d}};
inline constexpr IID kIID_ControllerCompletedHandler = {
    0x6c4819f3, 0xc9b7, 0x4260, {0x81, 0x27, 0xc9, 0xf5, 0xbd, 0xe7, 0xf6, 0x8c}};
inline constexpr IID kIID_NavigationCompletedEventHandler = {
    0xd33a35bf, 0x1c49, 0x4f98, {0x93, 0xab, 0x00, 0x6e, 0x05, 0x33, 0xfe, 0x1c}};
inline constexpr IID kIID_HistoryChangedEventHandler = {
    0xc79a420c, 0xefd9, 0x4058, {0x92, 0x95, 0x3e, 0x8b, 0x4b, 0xca, 0xb6, 0x45}};
inline constexpr IID kIID_ExecuteScriptCompletedHandler = {
    0x49511172, 0xcc67, 0x4bca, {0x99, 0x23, 0x13, 0x71, 0x12, 0xf4, 0xc4, 0xcc}};

// ---- The loader's export ---------------------------------------------------------
// HRESULT CreateCoreWebView2EnvironmentWithOptions(browserExecutableFolder,
//     userDataFolder, environmentOptions, environmentCreatedHandler)
using CreateCoreWebView2EnvironmentWithOptionsFn = HRESULT(STDAPICALLTYPE*)(
    PCWSTR browserExecutableFolder, PCWSTR userDataFolder, IUnknown* environmentOptions,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* environmentCreatedHandler);

inline constexpr char kCreateEnvironmentExport[] = "CreateCoreWebView2EnvironmentWithOptions";
inline constexpr wchar_t kLoaderDll[] = L"WebView2Loader.dll";

// ---- Layout checks (x64) ------------------------------------------------------
#define ZEM_SLOT(Vtbl, Method, n) \
  static_assert(offsetof(Vtbl, Method) == (n) * sizeof(void*), #Vtbl "::" #Method " is not slot " #n)

ZEM_SLOT(ICoreWebView2EnvironmentVtbl, CreateCoreWebView2Controller, 3);
ZEM_SLOT(ICoreWebView2EnvironmentVtbl, get_BrowserVersionString, 5);
ZEM_SLOT(ICoreWebView2EnvironmentVtbl, remove_NewBrowserVersionAvailable, 7);
static_assert(sizeof(ICoreWebView2EnvironmentVtbl) == 8 * sizeof(void*));

ZEM_SLOT(ICoreWebView2ControllerVtbl, put_Bounds, 6);
ZEM_SLOT(ICoreWebView2ControllerVtbl, SetBoundsAndZoomFactor, 11);
ZEM_SLOT(ICoreWebView2ControllerVtbl, MoveFocus, 12);
ZEM_SLOT(ICoreWebView2ControllerVtbl, remove_AcceleratorKeyPressed, 20);
ZEM_SLOT(ICoreWebView2ControllerVtbl, get_ParentWindow, 21);
ZEM_SLOT(ICoreWebView2ControllerVtbl, Close, 24);
ZEM_SLOT(ICoreWebView2ControllerVtbl, get_CoreWebView2, 25);
static_assert(sizeof(ICoreWebView2ControllerVtbl) == 26 * sizeof(void*));

ZEM_SLOT(ICoreWebView2Vtbl, Navigate, 5);
ZEM_SLOT(ICoreWebView2Vtbl, add_NavigationStarting, 7);
ZEM_SLOT(ICoreWebView2Vtbl, add_HistoryChanged, 13);
ZEM_SLOT(ICoreWebView2Vtbl, remove_HistoryChanged, 14);
ZEM_SLOT(ICoreWebView2Vtbl, add_NavigationCompleted, 15);
ZEM_SLOT(ICoreWebView2Vtbl, remove_NavigationCompleted, 16);
ZEM_SLOT(ICoreWebView2Vtbl, add_ProcessFailed, 25);
ZEM_SLOT(ICoreWebView2Vtbl, AddScriptToExecuteOnDocumentCreated, 27);
ZEM_SLOT(ICoreWebView2Vtbl, ExecuteScript, 29);

ZEM_SLOT(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandlerVtbl, Invoke, 3);
ZEM_SLOT(ICoreWebView2CreateCoreWebView2ControllerCompletedHandlerVtbl, Invoke, 3);
ZEM_SLOT(ICoreWebView2NavigationCompletedEventHandlerVtbl, Invoke, 3);
ZEM_SLOT(ICoreWebView2HistoryChangedEventHandlerVtbl, Invoke, 3);
ZEM_SLOT(ICoreWebView2ExecuteScriptCompletedHandlerVtbl, Invoke, 3);

#undef ZEM_SLOT

static_assert(sizeof(void*) == 8, "the WebView2 declarations are for x64");
static_assert(sizeof(EventRegistrationToken) == 8);
static_assert(sizeof(RECT) == 16);  // put_Bounds takes it by value
static_assert(sizeof(IID) == 16);

}  // namespace zem::platform::win32::webview2

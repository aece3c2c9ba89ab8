// The login tool's window mode: let the user log in on the company's web
// login page and hand back the token the page keeps, plus the message boxes
// the tool shows in that mode.
//
// Windows: a window "ZEM云盘 - 登录" hosting Microsoft Edge WebView2 (its
// loader, WebView2Loader.dll, is loaded at run time from the program's
// folder). After each completed navigation and each history change the page's
// local storage is asked for "access-token"; the first non-empty value closes
// the window. Failures to start WebView2 are shown in message boxes owned by
// the window, which then closes.
// Linux: there is no embedded browser. With a graphical session ($DISPLAY or
// $WAYLAND_DISPLAY) the page is opened in the user's browser with xdg-open
// and the caller reads the token on the console; without one, a terminal on
// standard input still allows console entry; with neither, login is not
// possible from this session.
//
// Runs on the calling thread (on Windows it becomes a single-threaded COM
// apartment for the duration and runs a message loop).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace zem::platform {

struct WebLoginRequest {
  std::string url;                          // login page, UTF-8, used literally
  std::filesystem::path user_data_folder;   // browser profile; created if missing
  // Turns the script result (JSON text of the local-storage value, UTF-8)
  // into the token bytes; an empty result means "no token yet".
  std::function<std::string(std::string_view script_result_json)> decode_token;
};

enum class WebLoginOutcome {
  kWindowClosed,  // the login window ran and closed; `token` is what it captured (maybe empty)
  kUseConsole,    // no embedded browser: the user was told to paste the token on the console
  kUnavailable,   // no way to log in from this session (the reason has been printed)
};

struct WebLoginResult {
  WebLoginOutcome outcome = WebLoginOutcome::kUnavailable;
  std::string token;
};

WebLoginResult RunWebLogin(const WebLoginRequest& request);

// True where RunWebLogin hosts the page itself (Windows).
bool HasEmbeddedWebLogin();

enum class MessageBoxIcon { kInformation, kWarning, kError };

// Shows a modal message box without an owner window and waits for the user.
// Returns false where the platform has no message boxes (Linux) or the box
// could not be shown; the caller then prints the text instead.
bool ShowMessageBox(MessageBoxIcon icon, std::string_view caption, std::string_view text);

}  // namespace zem::platform

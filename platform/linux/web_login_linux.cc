// Linux has no embedded browser: the login page opens in the user's own
// browser and the token is pasted on the console.
#include "platform/console.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "platform/web_login.h"

namespace zem::platform {
namespace {

bool HasGraphicalSession() {
  for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    if (auto v = GetEnv(var); v && !v->empty()) return true;
  }
  return false;
}

void Say(StdStream stream, const std::string& line) { WriteStd(stream, line); }

}  // namespace

WebLoginResult RunWebLogin(const WebLoginRequest& request) {
  WebLoginResult result;
  if (HasGraphicalSession() && StartDetached("xdg-open", {request.url}).ok()) {
    Say(StdStream::kOut, "[INFO] 已在浏览器中打开登录页面：" + request.url + "\n");
    Say(StdStream::kOut,
        "[INFO] 登录后，请从该页面的本地存储（localStorage）中复制 access-token 的值。\n");
    result.outcome = WebLoginOutcome::kUseConsole;
    return result;
  }
  if (StdinIsTerminal()) {
    Say(StdStream::kOut,
        "[INFO] 无法在这里打开浏览器。请在浏览器中打开 " + request.url +
            " 登录，然后从该页面的本地存储（localStorage）中复制 access-token 的值。\n");
    result.outcome = WebLoginOutcome::kUseConsole;
    return result;
  }
  Say(StdStream::kErr,
      "[ERR] 没有可用的登录方式：没有图形界面（DISPLAY / WAYLAND_DISPLAY 未设置或无法启动 "
      "xdg-open），标准输入也不是终端。请用 keygate --token <token> 保存 token。\n");
  result.outcome = WebLoginOutcome::kUnavailable;
  return result;
}

bool HasEmbeddedWebLogin() { return false; }

bool ShowMessageBox(MessageBoxIcon, std::string_view, std::string_view) { return false; }

}  // namespace zem::platform

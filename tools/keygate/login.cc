#include "tools/keygate/login.h"

#include "common/cat.h"
#include "common/config.h"
#include "common/credentials.h"
#include "common/output.h"
#include "platform/known_folders.h"
#include "platform/text.h"
#include "platform/web_login.h"
#include "tools/keygate/arguments.h"
#include "tools/keygate/console_entry.h"
#include "tools/keygate/script_result.h"

namespace zem::keygate {
namespace {

constexpr size_t kMinTokenBytes = 16;
constexpr char kCaption[] = "ZEM云盘";

// A result of window mode: a message box, or the console where the platform
// has none.
void Tell(platform::MessageBoxIcon icon, std::string_view text) {
  if (platform::ShowMessageBox(icon, kCaption, text)) return;
  const std::string line = Cat(text, "\n");
  if (icon == platform::MessageBoxIcon::kInformation) {
    Out(Cat("[OK] ", line));
  } else {
    Err(Cat("[ERR] ", line));
  }
}

int Logout() {
  switch (RemoveStoredCredentials()) {
    case RemoveOutcome::kRemoved:
      Out("[OK] credentials removed.\n");
      return kExitOk;
    case RemoveOutcome::kNoFile:
      Out("[OK] no credentials to remove.\n");
      return kExitOk;
    case RemoveOutcome::kFailed:
      // The reason has been printed. The token is still stored, so this is
      // not reported as done.
      return kExitSaveFailed;
  }
  return kExitSaveFailed;
}

std::filesystem::path WebViewUserDataFolder() {
  const auto local = platform::LocalAppDataFolder();
  if (local.empty()) return {};
  return local / "ZemCloudDisk" / "webview2";
}

}  // namespace

bool IsPrintableToken(std::string_view token) {
  const std::u16string wide = platform::Utf8ToWide(token);
  if (platform::WideToUtf8(wide) != token) return false;  // not UTF-8: binary data
  for (char16_t c : wide) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  }
  return true;
}

int SaveAndVerify(const std::string& token, TokenSource source) {
  const bool window = source == TokenSource::kWindow;
  if (token.size() < kMinTokenBytes) {
    Err("[ERR] token 太短或为空。\n");
    if (window) Tell(platform::MessageBoxIcon::kWarning, "未获取到有效 token。");
    return kExitTokenTooShort;
  }
  if (!IsPrintableToken(token)) {
    // A line break in the token would become extra header lines in every
    // request; binary input (a file on standard input) is not a token.
    Err("[ERR] token 含有控制字符（换行、制表符等）或不是文本，未保存；请只粘贴 token 本身。\n");
    if (window) Tell(platform::MessageBoxIcon::kWarning, "未获取到有效 token。");
    return kExitTokenTooShort;
  }
  if (!SaveToken(token)) {
    if (window) Tell(platform::MessageBoxIcon::kError, "保存失败。");
    return kExitSaveFailed;
  }
  std::string stored;
  if (!ReadStoredToken(stored) || stored != token) {
    if (window) {
      Tell(platform::MessageBoxIcon::kError, "加密/解密校验失败。");
    } else {
      Err("[ERR] verify decrypt mismatched.\n");
    }
    return kExitVerifyFailed;
  }
  if (window) {
    Tell(platform::MessageBoxIcon::kInformation,
         "登录成功，凭据已加密保存。\n下次启动 corvane 会自动用新 token。");
  } else {
    Out("[OK] verify decrypt: same token.\n");
  }
  return kExitOk;
}

int RunKeygate(const std::vector<std::string>& args) {
  const Arguments parsed = ParseArguments(args);
  // --logout wins whatever else is given: someone who asked for the token to
  // be removed must not find it still stored.
  if (parsed.logout) return Logout();
  if (parsed.help) {
    Out(kUsage);
    return kExitOk;
  }

  if (!parsed.token.empty()) return SaveAndVerify(parsed.token, TokenSource::kConsole);
  if (parsed.any) return SaveAndVerify(ReadTokenFromConsole(), TokenSource::kConsole);

  platform::WebLoginRequest request;
  request.url = LoadLoginUrl();
  request.user_data_folder = WebViewUserDataFolder();
  request.decode_token = DecodeScriptResult;
  const platform::WebLoginResult login = platform::RunWebLogin(request);
  switch (login.outcome) {
    case platform::WebLoginOutcome::kWindowClosed:
      if (login.token.empty()) return kExitOk;  // closed without logging in: silent
      return SaveAndVerify(login.token, TokenSource::kWindow);
    case platform::WebLoginOutcome::kUseConsole:
      return SaveAndVerify(ReadTokenFromConsole(), TokenSource::kConsole);
    case platform::WebLoginOutcome::kUnavailable:
      return kExitTokenTooShort;
  }
  return kExitTokenTooShort;
}

}  // namespace zem::keygate

// The update check's message boxes (owned by the tray window, caption
// "ZEM云盘") and the start of the downloaded installer.
#include <windows.h>

#include "agent/agent_state.h"
#include "agent/ui/ui_windows.h"
#include "agent/update_check.h"
#include "common/config.h"
#include "common/version.h"
#include "platform/shell.h"
#include "platform/win32/wide.h"

namespace zem::agent::ui {
namespace {

using platform::win32::ToW;

class MessageBoxDialogs : public UpdateDialogs {
 public:
  void Warn(std::u16string_view text) override { Show(text, MB_ICONWARNING | MB_OK); }
  void Inform(std::u16string_view text) override { Show(text, MB_ICONINFORMATION | MB_OK); }
  bool Ask(std::u16string_view text) override {
    return Show(text, MB_ICONQUESTION | MB_YESNO) == IDYES;
  }
  bool StartInstaller(const std::filesystem::path& file,
                      const std::filesystem::path& folder) override {
    return platform::OpenFileInFolder(file, folder).ok();
  }
  void EndAgent() override {
    AgentRunning.exchange(false);
    PostQuitMessage(0);
  }

 private:
  static int Show(std::u16string_view text, UINT type) {
    return MessageBoxW(TrayWindow(), ToW(text).c_str(), kAppName, type);
  }
};

}  // namespace

void RunUpdateCheck() {
  MessageBoxDialogs dialogs;
  CheckForUpdate(LoadUpdateServer(), ProductVersion(), dialogs);
}

}  // namespace zem::agent::ui

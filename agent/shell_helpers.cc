#include "agent/shell_helpers.h"

#include <mutex>

#include "platform/known_folders.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace zem::agent {
namespace fs = std::filesystem;
namespace {

// The service's API port; its web front end answers on kWebPort.
constexpr uint16_t kApiPort = 8081;
constexpr uint16_t kWebPort = 5173;

std::mutex g_handler_mu;
ShellHandler g_handler;

bool Hand(ShellAction action, std::u16string_view target) {
  ShellHandler handler;
  {
    std::lock_guard<std::mutex> lock(g_handler_mu);
    handler = g_handler;
  }
  if (handler) return handler(action, target);
  if (action == ShellAction::kLaunch) return platform::LaunchProgram(fs::path(target)).ok();
  return platform::OpenWithShell(target).ok();
}

}  // namespace

fs::path AppIconPath() {
  return fs::weakly_canonical(platform::RunningProgramFolder() / ".." / "assets" / "icon.ico");
}

std::u16string BuildWebUrl(const BackendConfig& config, std::u16string_view fragment) {
  const uint16_t port = config.port == kApiPort ? kWebPort : config.port;
  return std::u16string(config.use_https ? u"https://" : u"http://") + config.host + u":" +
         platform::WidenAscii(std::to_string(port)) + std::u16string(fragment);
}

void OpenInShell(std::u16string_view target) { Hand(ShellAction::kOpen, target); }

void OpenFolderInShell(const fs::path& folder) { Hand(ShellAction::kOpen, folder.u16string()); }

void LaunchKeygate() {
  const fs::path keygate = platform::RunningProgramFolder() / platform::ProgramFileName("keygate");
  Hand(ShellAction::kLaunch, keygate.u16string());
}

void SetShellHandlerForTest(ShellHandler handler) {
  std::lock_guard<std::mutex> lock(g_handler_mu);
  g_handler = std::move(handler);
}

}  // namespace zem::agent

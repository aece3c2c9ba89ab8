#include "agent/run_provider.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "agent/agent_state.h"
#include "agent/service_credentials.h"
#include "agent/status_command.h"
#include "agent/status_publishing.h"
#include "agent/sync_machinery.h"
#include "agent/sync_root_link.h"
#include "agent/tray.h"
#include "common/agent_log.h"
#include "common/cat.h"
#include "common/config.h"
#include "common/output.h"
#include "platform/cloud_files.h"
#include "platform/sync_root_recovery.h"
#include "platform/os_error.h"
#include "platform/service_host.h"
#include "platform/text.h"
#include "sync/state/agent_status.h"

namespace zem::agent {
namespace fs = std::filesystem;

namespace {

constexpr char kServiceName[] = "ZemCloudDisk";
constexpr auto kLoopTick = std::chrono::milliseconds(500);

void PrintUsage() {
  Out("用法: corvane [--service]\n"
      "  ZEM云盘 同步代理：把 ~/ZEM云盘 与云盘服务保持同步，按需下载文件内容。\n"
      "  (no arguments)  run for the logged-on user; Ctrl-C stops it\n"
      "  --service       run under the service manager (Windows: sc.exe; Linux: systemd)\n"
      "  --status [--json]  show what the running agent is doing (exit 1: not running)\n"
      "  --version       show the version\n"
      "  --help          show this help\n"
      "Log: provider.log in the logs folder of the app-data folder.\n"
      "Exit codes: 0 stopped normally, 1 service dispatcher failed,\n"
      "            2 sync-root folder missing or unusable, 3 sync root could not be connected.\n");
}

// The sync-root folder must exist and be a folder.
bool CheckSyncRootFolder(const fs::path& root) {
  std::error_code ec;
  const fs::file_status st = fs::status(root, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) {
    Err(Cat("[ERR] cannot examine sync root: ", platform::PathToUtf8(root), " (",
            platform::DescribeOsError(static_cast<uint32_t>(ec.value())), ")\n"));
    return false;
  }
  if (st.type() == fs::file_type::not_found) {
    Err(Cat("[ERR] sync root missing: ", platform::PathToUtf8(root), "\n"));
    return false;
  }
  if (st.type() != fs::file_type::directory) {
    Err(Cat("[ERR] sync root missing: ", platform::PathToUtf8(root),
            " (exists but is not a folder)\n"));
    return false;
  }
  return true;
}

void OnStopRequest(platform::StopRequest request) {
  if (request == platform::StopRequest::kConsoleInterrupt) {
    Out("\n[STOP] Ctrl-C received, shutting down...\n");
  } else {
    Out("[STOP] stop requested, shutting down...\n");
  }
  AgentRunning.exchange(false);
  EndTrayLoop();
}

// The service and fallback loops: wake every half second to test the flag.
void RunPollingLoop() {
  while (AgentRunning.load()) std::this_thread::sleep_for(kLoopTick);
}

}  // namespace

int RunProvider() {
  RotateLog();
  RedirectOutputToLog();

  const BackendConfig config = LoadConfig();
  const std::string backend = Cat(config.use_https ? "https://" : "http://",
                                  platform::WideToUtf8(config.host), ":", config.port);
  Out(Cat("[CFG] backend ", backend, "\n"));
  SetUpServiceCredentials(config);

  LoadAgentState();

  const fs::path root = SyncRootDir();
  platform::RecoverSyncRootFolder(root);  // a mount left by a crashed agent
  if (!CheckSyncRootFolder(root)) return kExitSyncRootMissing;

  // Callbacks may read SyncRootPath as soon as the connection exists.
  SyncRootPath = root;
  if (const platform::Status connected = ConnectSyncRootLink(root); !connected.ok()) {
    Err(Cat("[ERR] CfConnectSyncRoot failed: 0x", platform::HexHresult(connected.hresult()), "\n"));
    return kExitConnectFailed;
  }

  platform::WatchStopRequests(OnStopRequest);
  Out(Cat("[OK] sync provider running. SyncRoot: ", platform::PathToUtf8(root), "\n"));

  StartStatusPublishing(root, backend);
  StartSyncMachinery();

  if (ServiceMode) {
    Out("     运行模式：Windows Service\n");
    RunPollingLoop();
  } else if (!RunTrayLoop()) {
    Err("[WARN] tray icon failed; falling back to polling loop\n");
    RunPollingLoop();
  }

  AgentRunning.exchange(false);
  StopSyncMachinery();
  DisconnectSyncRootLink();
  StopAgentStatus();
  platform::StopWatchingStopRequests();
  Out("[OK] disconnected.\n");
  return kExitOk;
}

int AgentMain(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "--help") {
      PrintUsage();
      return kExitOk;
    }
  }
  if (WantsStatus(args)) return RunStatusCommand(args);
  // Anything else is ignored as before, but said once on the error stream
  // (a mistyped --service would otherwise silently run for the user).
  for (const auto& a : args) {
    if (a != "--service") Err(Cat("[WARN] unknown argument ignored: ", a, " (see --help)\n"));
  }
  for (const auto& a : args) {
    if (a != "--service") continue;
    int exit_code = 0;
    const platform::Status ran = platform::RunAsService(
        kServiceName,
        [] {
          ServiceMode = true;
          return RunProvider();
        },
        [] { AgentRunning.exchange(false); }, exit_code);
    if (ran.ok()) return exit_code;
    Err(Cat("[ERR] StartServiceCtrlDispatcher failed: ", ran.os_error(),
            " (--service 仅当 sc.exe 启动时有效，本地调试请直接运行)\n"));
    return kExitServiceDispatcherFailed;
  }
  return RunProvider();
}

}  // namespace zem::agent

// corvane's entry and main routine.
#pragma once

#include <string>
#include <vector>

namespace zem::agent {

// Exit codes of the agent.
inline constexpr int kExitOk = 0;
inline constexpr int kExitServiceDispatcherFailed = 1;
// The sync-root folder does not exist, is not a folder, or cannot be examined.
inline constexpr int kExitSyncRootMissing = 2;
inline constexpr int kExitConnectFailed = 3;

// The program entry: `--service` anywhere among the arguments runs under the
// service manager; `--help` prints usage; anything else runs RunProvider.
int AgentMain(const std::vector<std::string>& args);

// Start-up, run loop and shutdown of the agent; returns an exit code.
int RunProvider();

}  // namespace zem::agent

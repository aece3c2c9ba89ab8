#include "agent/agent_state.h"

namespace zem::agent {

std::atomic<bool> AgentRunning{true};
bool ServiceMode = false;
std::filesystem::path SyncRootPath;

void ResetAgentStateForTest() {
  AgentRunning.store(true);
  ServiceMode = false;
  SyncRootPath.clear();
}

}  // namespace zem::agent

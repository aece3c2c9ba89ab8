// Process-wide state of the running agent.
//
// AgentRunning is the one stop flag shared by the run loops and the poll
// thread. ServiceMode and SyncRootPath are written on the main thread before
// any thread that reads them starts, and only read afterwards.
#pragma once

#include <atomic>
#include <filesystem>

namespace zem::agent {

extern std::atomic<bool> AgentRunning;
extern bool ServiceMode;
extern std::filesystem::path SyncRootPath;

}  // namespace zem::agent

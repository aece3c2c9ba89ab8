// `corvane --status [--json]`: prints what this user's running agent is
// doing, from the status file it publishes.
#pragma once

#include <string>
#include <vector>

namespace zem::agent {

inline constexpr int kExitStatusNotRunning = 1;

bool WantsStatus(const std::vector<std::string>& args);

// Prints the status (or, with --json, the same as one JSON object) and
// returns 0; with no agent running prints one line saying so and returns 1.
int RunStatusCommand(const std::vector<std::string>& args);

}  // namespace zem::agent

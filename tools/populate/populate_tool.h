// The population tool: fills the sync-root folder with placeholders of the
// user's whole remote tree in one run.
#pragma once

#include <string>
#include <vector>

namespace zem::populate {

inline constexpr int kExitOk = 0;
inline constexpr int kExitWithErrors = 1;
inline constexpr int kExitNoSyncRoot = 2;

// Runs the tool; returns the exit code. "--help" prints the usage; every
// other argument is ignored with a warning line on standard error.
int RunPopulateTool(const std::vector<std::string>& args);

}  // namespace zem::populate

// Starts the agent's status file for `corvane --status`, with the transfer
// figures sampled from the upload queue, the live transfer list and the
// recent transfers.
#pragma once

#include <filesystem>
#include <string_view>

namespace zem::agent {

void StartStatusPublishing(const std::filesystem::path& root, std::string_view backend);

}  // namespace zem::agent

// The agent's one connection to the sync root, with the hydration and
// notification handlers registered.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/status.h"

namespace zem::agent {

// Connects the sync root at `path`; on success the connection is kept until
// DisconnectSyncRootLink.
platform::Status ConnectSyncRootLink(const std::filesystem::path& path);

// Disconnects the connection made by ConnectSyncRootLink (if any).
void DisconnectSyncRootLink();

}  // namespace zem::agent

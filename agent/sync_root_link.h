// The agent's one connection to the sync root, with the hydration and
// notification handlers registered.
#pragma once

#include <cstdint>
#include <filesystem>

namespace zem::agent {

// Connects the sync root at `path`. Returns the HRESULT of the connection
// (negative on failure); the connection is kept until DisconnectSyncRootLink.
int32_t ConnectSyncRootLink(const std::filesystem::path& path);

// Disconnects the connection made by ConnectSyncRootLink (if any).
void DisconnectSyncRootLink();

}  // namespace zem::agent

// The agent's connection to the sync root: the callback table with the
// hydration handler, and hooks for the change notifications.
#pragma once

#include <filesystem>
#include <functional>

#include "platform/cloud_files.h"

namespace zem {

// Handlers of the close, delete and rename completions; unset ones do
// nothing. They run on the platform's callback (or dispatcher) thread and
// must return quickly.
struct ChangeHandlers {
  std::function<void(const platform::ChangeInfo&)> on_close;
  std::function<void(const platform::ChangeInfo&)> on_delete;
  std::function<void(const platform::ChangeInfo&)> on_rename;
};

// The callback table registered with the connection: fetch-data → OnFetchData
// (sync/hydration.h), then the rename, close and delete completions.
platform::SyncRootCallbacks AgentSyncRootCallbacks(const ChangeHandlers& handlers = {});

// Connects `root` with that table (CfConnectSyncRoot with process information
// and full paths on Windows; the FUSE mount on Linux). On success *key holds
// the connection until DisconnectAgentSyncRoot.
platform::Status ConnectAgentSyncRoot(const std::filesystem::path& root,
                                      platform::ConnectionKey* key,
                                      const ChangeHandlers& handlers = {});

platform::Status DisconnectAgentSyncRoot(platform::ConnectionKey key);

}  // namespace zem

#include "sync/session.h"

#include "sync/hydration.h"

namespace zem {

platform::SyncRootCallbacks AgentSyncRootCallbacks(const ChangeHandlers& handlers) {
  platform::SyncRootCallbacks callbacks;
  callbacks.fetch_data = OnFetchData;
  callbacks.own_folder_moves = true;  // migration and folders moved on the web
  auto hook = [](std::function<void(const platform::ChangeInfo&)> h) {
    return [h = std::move(h)](const platform::ChangeInfo& info) {
      if (h) h(info);
    };
  };
  callbacks.rename_completion = hook(handlers.on_rename);
  callbacks.close_completion = hook(handlers.on_close);
  callbacks.delete_completion = hook(handlers.on_delete);
  return callbacks;
}

platform::Status ConnectAgentSyncRoot(const std::filesystem::path& root,
                                      platform::ConnectionKey* key,
                                      const ChangeHandlers& handlers) {
  return platform::ConnectSyncRoot(root, AgentSyncRootCallbacks(handlers), key);
}

platform::Status DisconnectAgentSyncRoot(platform::ConnectionKey key) {
  return platform::DisconnectSyncRoot(key);
}

}  // namespace zem

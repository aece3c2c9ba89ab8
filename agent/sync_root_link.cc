#include "agent/sync_root_link.h"

#include <mutex>
#include <optional>

#include "sync/realtime/change_handlers.h"
#include "sync/session.h"

namespace zem::agent {
namespace {

// The connection key, written by the main thread at start-up and shutdown.
std::mutex g_link_mu;
std::optional<platform::ConnectionKey> g_key;

}  // namespace

platform::Status ConnectSyncRootLink(const std::filesystem::path& path) {
  std::lock_guard lock(g_link_mu);
  platform::ConnectionKey key = 0;
  SetRealtimeSyncRoot(path);
  platform::Status connected = ConnectAgentSyncRoot(path, &key, RealtimeChangeHandlers());
  if (connected.ok()) g_key = key;
  return connected;
}

void DisconnectSyncRootLink() {
  std::lock_guard lock(g_link_mu);
  if (!g_key) return;
  DisconnectAgentSyncRoot(*g_key);
  g_key.reset();
}

}  // namespace zem::agent

// Interim: the sync-root providers are being written; until they land the
// agent cannot connect and reports that as a connection failure (exit 3).
#include "agent/sync_root_link.h"

#include "platform/os_error.h"

namespace zem::agent {

int32_t ConnectSyncRootLink(const std::filesystem::path&) {
  return platform::HresultFromOsError(50);  // ERROR_NOT_SUPPORTED
}

void DisconnectSyncRootLink() {}

}  // namespace zem::agent

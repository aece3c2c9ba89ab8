#include "platform/sync_root_recovery.h"

namespace zem::platform {

void RecoverSyncRootFolder(const std::filesystem::path&) {}

}  // namespace zem::platform

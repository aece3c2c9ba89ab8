#include "platform/sync_root_recovery.h"

#include "platform/linux/stale_mount.h"

namespace zem::platform {

void RecoverSyncRootFolder(const std::filesystem::path& root) { fusefs::DetachStaleMount(root); }

}  // namespace zem::platform

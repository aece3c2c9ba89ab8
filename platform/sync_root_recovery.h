// Before the agent looks at the sync-root folder: whatever a previous agent
// that died left on it is cleared away (Linux: a FUSE mount whose owner is
// gone is aborted and detached, so the folder can be examined and mounted
// again; Windows: nothing, the system ends a dead provider's connection).
// Never blocks on a dead mount. Thread-safe; called once at start-up.
#pragma once

#include <filesystem>

namespace zem::platform {

void RecoverSyncRootFolder(const std::filesystem::path& root);

}  // namespace zem::platform

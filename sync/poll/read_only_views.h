// The read-only areas "共享给我" (items shared with the user) and
// "ZEM 回收站" (the user's recycle bin): mirrors of a service list, brought
// in line once per poll cycle. Items are matched by name; listed items that
// are missing become read-only placeholders ("S:"/"R:" + id), placeholders
// whose item left the list are deleted, and anything the user put there
// that is no placeholder is left alone. Nothing is ever sent to the service.
#pragma once

#include <filesystem>

namespace zem {

// Lines: "[SHARED] +<n> in 共享给我/", "[SHARED-DEL] <name> (no longer shared)".
void SyncSharedView(const std::filesystem::path& area);
// Lines: "[RECYCLE] +<n> in ZEM 回收站/",
// "[RECYCLE-DEL] <name> (no longer in recycle)".
void SyncRecycleView(const std::filesystem::path& area);

}  // namespace zem

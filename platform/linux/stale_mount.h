// Mounts left behind by an agent that died.
//
// An agent killed while one of its own threads waits on its own mount can
// never finish exiting: that thread waits for an answer only the dead loop
// threads could give, and the connection stays open as long as the process
// exists. Any stat of such a mount blocks for ever. So liveness is decided
// without touching the mount: the mounting process records its pid per
// connection, and a connection whose owner is gone or a zombie is aborted
// through the FUSE control filesystem before the mount is detached.
#pragma once

#include <filesystem>
#include <string>

namespace zem::platform::fusefs {

// A field of /proc/self/mountinfo with its octal escapes (\040 …) undone.
std::string UnescapeMountField(const std::string& field);
// `p` made absolute and lexically normal, without a trailing slash, as
// mountinfo names mount points.
std::string AbsoluteNormal(const std::filesystem::path& p);

// Records this process as the owner of the FUSE mount now on `root`.
void RecordMountOwner(const std::filesystem::path& root);

// Detaches the mount on `root` when its owner died (aborting its connection
// first, so threads stuck on it get an error and a zombie owner can end).
// A mount of a live owner is left alone. Returns true when something was
// detached.
bool DetachStaleMount(const std::filesystem::path& root);

}  // namespace zem::platform::fusefs

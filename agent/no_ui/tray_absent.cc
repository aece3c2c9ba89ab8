// The tray window (icon, menu, panel, popup) is not part of this build: the
// agent reports that the tray could not be set up and keeps syncing in its
// fallback loop, the same degraded mode Windows has when the notification
// area is missing. On Linux this is the permanent behaviour.
#include "agent/tray.h"

namespace zem::agent {

bool RunTrayLoop() { return false; }

void EndTrayLoop() {}

}  // namespace zem::agent

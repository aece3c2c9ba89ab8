// The agent serves hydration through the sync-root connection itself. The
// saved state, the upload queue, the virtual roots, the upload workers and the
// poll thread are not part of this build yet, so these steps have nothing to
// load, start or stop; they stand at their places in the start-up and
// shutdown order so that each piece slots in where it belongs.
#include "agent/sync_machinery.h"

namespace zem::agent {

void LoadAgentState() {}

void StartSyncMachinery() {}

void StopSyncMachinery() {}

}  // namespace zem::agent

// The groups of start-up and shutdown steps that bring the sync machinery up
// and down around the sync-root connection.
#pragma once

namespace zem::agent {

// Before the sync root is connected: loads the saved state and the upload
// queue.
void LoadAgentState();

// After the sync root is connected and SyncRootPath is set: virtual roots,
// the documents root's folder id, the upload workers and the poll thread.
void StartSyncMachinery();

// After AgentRunning has been cleared, before the sync root is disconnected:
// joins the poll thread, drains and stops the upload workers.
void StopSyncMachinery();

}  // namespace zem::agent

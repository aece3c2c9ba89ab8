// The tray mode of the agent.
#pragma once

namespace zem::agent {

// Sets up the tray window and icon and runs the message loop until it ends.
// Returns false when the tray could not be set up (the caller then runs its
// fallback loop).
bool RunTrayLoop();

// Makes a running tray loop end (console Ctrl-C). Safe to call at any time.
void EndTrayLoop();

}  // namespace zem::agent

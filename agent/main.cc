#include "agent/run_provider.h"
#include "platform/console.h"
#include "platform/service_host.h"

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread leaves stop signals to the
  // agent's own watcher.
  zem::platform::PrepareStopRequests();
  return zem::agent::AgentMain(zem::platform::ProgramArguments(argc, argv));
}

#include "agent/run_provider.h"
#include "common/version.h"
#include "platform/console.h"
#include "platform/service_host.h"

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread leaves stop signals to the
  // agent's own watcher.
  zem::platform::PrepareStopRequests();
  const auto args = zem::platform::ProgramArguments(argc, argv);
  if (zem::HandleVersionRequest("corvane", args)) return 0;
  return zem::agent::AgentMain(args);
}

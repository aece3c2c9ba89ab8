// keygate: obtains the user's token (web login, --token or the console) and
// stores it encrypted for the current user; --logout removes it.
#include "common/version.h"
#include "platform/console.h"
#include "tools/keygate/login.h"

int main(int argc, char** argv) {
  const auto args = zem::platform::ProgramArguments(argc, argv);
  if (zem::HandleVersionRequest("keygate", args)) return 0;
  return zem::keygate::RunKeygate(args);
}

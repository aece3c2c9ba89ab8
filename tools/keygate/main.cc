// keygate: obtains the user's token (web login, --token or the console) and
// stores it encrypted for the current user; --logout removes it.
#include "platform/console.h"
#include "tools/keygate/login.h"

int main(int argc, char** argv) {
  return zem::keygate::RunKeygate(zem::platform::ProgramArguments(argc, argv));
}

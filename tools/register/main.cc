// register: makes the ZEM云盘 folder the sync root (or, with --unregister or
// -u, undoes that).
#include "common/version.h"
#include "platform/console.h"
#include "tools/register/register_tool.h"

int main(int argc, char** argv) {
  const auto args = zem::platform::ProgramArguments(argc, argv);
  if (zem::HandleVersionRequest("register", args)) return 0;
  return zem::registration::RunRegisterTool(args);
}

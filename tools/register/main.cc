// register: makes the ZEM云盘 folder the sync root (or, with --unregister or
// -u, undoes that).
#include "platform/console.h"
#include "tools/register/register_tool.h"

int main(int argc, char** argv) {
  return zem::registration::RunRegisterTool(zem::platform::ProgramArguments(argc, argv));
}

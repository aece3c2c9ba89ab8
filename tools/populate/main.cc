// populate: creates placeholders for the user's whole remote folder tree in
// the ZEM云盘 folder, in one run.
#include "common/version.h"
#include "platform/console.h"
#include "tools/populate/populate_tool.h"

int main(int argc, char** argv) {
  const auto args = zem::platform::ProgramArguments(argc, argv);
  if (zem::HandleVersionRequest("populate", args)) return 0;
  return zem::populate::RunPopulateTool(args);
}

// populate: creates placeholders for the user's whole remote folder tree in
// the ZEM云盘 folder, in one run.
#include "platform/console.h"
#include "tools/populate/populate_tool.h"

int main(int argc, char** argv) {
  return zem::populate::RunPopulateTool(zem::platform::ProgramArguments(argc, argv));
}

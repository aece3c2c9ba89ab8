// The desktop on Linux is reached through xdg-open (freedesktop's opener of
// files, folders and addresses); programs are started directly.
#include <cerrno>

#include "platform/process.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace zem::platform {

Status OpenWithShell(std::u16string_view target) {
  return StartDetached("xdg-open", {WideToUtf8(target)});
}

Status OpenFileInFolder(const std::filesystem::path& file, const std::filesystem::path&) {
  return StartDetached("xdg-open", {PathToUtf8(file)});
}

std::filesystem::path ProgramFileName(std::string_view name) { return PathFromUtf8(name); }

Status LaunchProgram(const std::filesystem::path& program) {
  // posix_spawnp would search PATH for a bare name; only the given file runs.
  if (!program.has_parent_path()) return StatusFromOsError("launch " + program.string(), EINVAL);
  return StartDetached(program, {});
}

}  // namespace zem::platform

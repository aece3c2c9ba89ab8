// Handing things to the desktop: opening a folder, file or web address the
// way the user's file manager or browser would, and starting one of the
// suite's programs.
//
// Windows: ShellExecuteW with the verb "open", no parameters and SW_SHOW
// (SW_SHOWNORMAL for an installer). Linux: `xdg-open <target>` started
// detached; a program is started detached with no arguments.
// None of these waits for what it started. Thread-safe.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace zem::platform {

// Opens a folder, file or address. Ok when it was handed over (Windows:
// ShellExecuteW returned more than 32; Linux: xdg-open could be started).
Status OpenWithShell(std::u16string_view target);

// Opens a downloaded file (an installer) with `working_dir` as its working
// folder, shown normally. Ok when it started (same test as above).
Status OpenFileInFolder(const std::filesystem::path& file,
                        const std::filesystem::path& working_dir);

// The file name of the suite's program `name` here: "keygate.exe" on
// Windows, "keygate" on Linux.
std::filesystem::path ProgramFileName(std::string_view name);

// Starts a program with no arguments, not waiting for it (Windows: the shell
// verb "open", as a double click would). Ok when it started; a bare name
// (no folder) is refused rather than searched for.
Status LaunchProgram(const std::filesystem::path& program);

}  // namespace zem::platform

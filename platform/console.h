// Standard streams and the console.
//
// Every message of the programs is one UTF-8 line handed over whole; each is
// written with a single system call, so lines of different threads never mix.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace zem::platform {

enum class StdStream { kOut, kErr };

// Writes UTF-8 text to standard output or error in one write. On Windows a
// console gets it as UTF-16 (WriteConsoleW); a file or pipe gets UTF-8 with
// each LF written as CR LF. On Linux the bytes go out as they are.
// Thread-safe. Errors are ignored (there is nowhere to report them).
void WriteStd(StdStream stream, std::string_view utf8);

// Reads one line of raw bytes from standard input, up to and including the
// LF (which is removed). Returns false at end of input with nothing read.
bool ReadStdinLine(std::string& line);

// True when standard input is an interactive terminal.
bool StdinIsTerminal();

// Points standard output and error at `file`, opened for appending (created
// if missing). Each stream is reopened on its own; fails if either failed
// (that stream's output is lost from then on).
Status RedirectStdStreamsToFile(const std::filesystem::path& file);

// The program's arguments after the program name, as UTF-8. On Windows they
// come from the wide command line (never the ANSI code page); argc/argv are
// used on Linux.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace zem::platform

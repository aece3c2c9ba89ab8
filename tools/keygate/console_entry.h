// Reading a pasted token on the console.
#pragma once

#include <string>
#include <string_view>

namespace zem::keygate {

// The token in a typed line: trailing CRs, LFs and spaces are removed, then
// leading spaces. Tabs stay (they may be part of what was pasted).
std::string TrimConsoleLine(std::string_view line);

// Prompts on standard output (no line break) and reads one line from
// standard input; the trimmed line, empty at end of input.
std::string ReadTokenFromConsole();

}  // namespace zem::keygate

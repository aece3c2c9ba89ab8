// keygate's command line.
#pragma once

#include <string>
#include <vector>

namespace zem::keygate {

struct Arguments {
  bool logout = false;       // --logout
  bool help = false;         // --help
  std::string token;         // value of the last "--token <value>" (may be empty)
  bool any = false;          // at least one argument was given
};

// Examines the arguments left to right, exactly and case-sensitively:
// "--logout" sets the flag; "--token" takes the next argument as the token
// (skipping it) when there is one and is ignored as the last argument;
// "--help" asks for the usage text; anything else is ignored but still counts
// as an argument (which selects console entry).
Arguments ParseArguments(const std::vector<std::string>& args);

// The text printed for --help.
extern const char kUsage[];

}  // namespace zem::keygate

// The product version and the revision the programs were built from.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zem {

// "1.0.4": the version of the product (the update check compares with it).
std::string_view ProductVersion();
// The git revision of the build (12 hex digits, "+" when built with
// uncommitted changes), or "unknown".
std::string_view BuildRevision();

// The one line every program prints for --version:
// "<program> 1.0.4 (rev <revision>)\n".
std::string VersionLine(std::string_view program);

// True when the arguments ask for the version (`--version`).
bool WantsVersion(const std::vector<std::string>& args);

// For a program's entry: when the arguments ask for the version, prints the
// version line and returns true (the program then exits 0).
bool HandleVersionRequest(std::string_view program, const std::vector<std::string>& args);

}  // namespace zem

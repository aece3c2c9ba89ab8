// The agent's log: provider.log in LogsDir(), rotated at start-up.
//
// The agent writes every message to its standard output and error (through
// zem::Out / zem::Err, one write per line); at start-up both streams are
// pointed at the log file, which is rotated first when it has grown too big.
#pragma once

#include <cstdint>
#include <filesystem>

namespace zem {

// A log of at least this many bytes is rotated at the next start.
inline constexpr uintmax_t kLogRotateBytes = 10'485'760;

// Creates the logs folder; if provider.log has reached kLogRotateBytes,
// shifts provider.log.2 → .3, .1 → .2 and provider.log → .1 (the old .3 is
// dropped). Errors are ignored: a log that cannot be rotated is appended to.
void RotateLog();

// Points standard output and error at provider.log (appending). A stream that
// cannot be reopened loses its output; nothing is reported.
void RedirectOutputToLog();

// RotateLog on an explicit log path (tests).
void RotateLogAt(const std::filesystem::path& log);

}  // namespace zem

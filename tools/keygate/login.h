// keygate's main sequence: obtain a token, store it encrypted, read it back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zem::keygate {

// Exit codes.
inline constexpr int kExitOk = 0;            // saved and verified; logout done; no token
inline constexpr int kExitTokenTooShort = 1;  // fewer than 16 bytes (or no way to log in)
inline constexpr int kExitSaveFailed = 2;    // encryption or writing failed
inline constexpr int kExitVerifyFailed = 3;  // the stored token did not read back the same

// Where the token came from; decides whether results go to message boxes.
enum class TokenSource { kConsole, kWindow };

// True when the token is UTF-8 text without control characters (C0, DEL,
// C1). A line break would become extra header lines in every request, and
// the bytes of a binary file on standard input are no token: both are
// refused before saving.
bool IsPrintableToken(std::string_view token);

// Checks, saves and verifies a token, reporting as the source requires.
// A token that is too short or not printable exits kExitTokenTooShort with
// nothing saved. Returns the exit code.
int SaveAndVerify(const std::string& token, TokenSource source);

// The whole program: `args` are the arguments after the program name.
int RunKeygate(const std::vector<std::string>& args);

}  // namespace zem::keygate

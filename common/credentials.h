// The encrypted token store (credentials.bin in AppDataDir()).
//
// The file is the platform's protected blob of the token bytes (DPAPI on
// Windows; AES-256-GCM under a per-user key on Linux). It is written to a
// temporary file beside it and renamed over the old one, so readers never see
// a half-written file and a failed save keeps the previous token.
#pragma once

#include <string>
#include <string_view>

namespace zem {

// The token built into corvane and populate, used when no stored token can be
// read. Never printed.
extern const char kBuiltinFallbackToken[];

// The stored token, or `fallback` when there is no usable one. Silent when
// there is no credential file or it is empty; when a file is there but
// cannot be read or decrypted (damaged, another user's, the key gone), one
// line on the error output says so and why:
//   "[WARN] the token stored in <path> could not be used (<why>); using the
//    built-in token. Run keygate to save a new one."
std::string LoadToken(std::string_view fallback);

// Encrypts and stores the token, in a file private to the user. Prints
// "[OK] token saved (encrypted, <path>)" on success, or the "[ERR] …" line
// of the failing step: a failed encryption is followed by a continuation
// line saying what is wrong (which key file, what to do), a failed write by
// the system's reason (a full disk, say).
bool SaveToken(std::string_view token);

// Reads and decrypts the stored token; false when there is none or it cannot
// be decrypted.
bool ReadStoredToken(std::string& token);

// Deletes credentials.bin. True when a file was removed; false when there was
// none, or when it could not be deleted (then the reason is printed).
bool RemoveCredentials();

// What RemoveStoredCredentials did.
enum class RemoveOutcome {
  kRemoved,  // the file existed and is gone
  kNoFile,   // there was nothing to remove
  kFailed,   // the file exists but could not be deleted (the reason is printed)
};

// RemoveCredentials, telling "nothing to remove" from a failed deletion.
RemoveOutcome RemoveStoredCredentials();

}  // namespace zem

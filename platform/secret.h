// Protecting small secrets (the bearer token) for the current user.
//
// Windows: DPAPI (CryptProtectData / CryptUnprotectData), user scope, no
// entropy, no prompt. The blob is DPAPI's own and can be read back only by
// the same Windows account.
// Linux: AES-256-GCM (OpenSSL) under a per-user 32-byte key kept in
// LocalAppDataFolder()/ZemCloudDisk/secret.key (mode 0600, created on first
// protect). The blob is "ZSK1", a 12-byte random nonce, the ciphertext and
// the 16-byte tag; the magic is authenticated with the data. Only a process
// that can read that key file can read the blob back.
//
// Both functions are thread-safe and report failure as a Status carrying the
// system's error code (Win32 error / errno). Where the platform knows more
// than the code says (Linux: what is wrong with the key file and what to do
// about it, in one sentence), that is the failure's explanation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace zem::platform {

// Encrypts `plain` for the current user into `blob`. `description` is stored
// inside the blob where the platform supports it (DPAPI) and is not needed to
// decrypt. On failure `blob` is left empty.
Status ProtectForCurrentUser(std::string_view plain, std::u16string_view description,
                             std::string& blob);

// Decrypts a blob made by ProtectForCurrentUser for the same user. Fails on
// a damaged blob, a blob of another user (another key on Linux), or a
// missing key. On failure `plain` is left empty.
Status UnprotectForCurrentUser(std::string_view blob, std::string& plain);

}  // namespace zem::platform

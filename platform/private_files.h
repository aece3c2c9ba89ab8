// Files and folders that only the current user may use: the app-data folder,
// the logs folder, the credential file, the secret key, the state files and
// the upload queue.
//
// Linux: folders get mode 0700 and files 0600, set explicitly, so the result
// does not depend on the umask (with umask 000 another local user could
// otherwise rewrite config.json or read the token blob).
// Windows: the per-user app-data folders carry the profile's ACL (the user,
// SYSTEM and Administrators) and everything created inside inherits it, so
// both functions only create what is missing and report success.
//
// A failure carries the system error (errno / GetLastError) and the path.
// Thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "platform/status.h"

namespace zem::platform {

// Creates `dir` and any missing parent; every folder created is made 0700,
// and an existing `dir` loses whatever group and other users could do with
// it. Parents that existed before (the home folder, ~/.config) are not
// touched.
Status EnsurePrivateDirectory(const std::filesystem::path& dir);

// Takes from an existing file or folder every permission of the group and of
// other users (the owner's own are left as they are).
Status MakePrivate(const std::filesystem::path& path);

// Creates `path` (or empties an existing file) as a private file and writes
// `content` into it whole, flushed to the disk. The error of the step that
// failed is returned as the system gives it (ENOSPC / ERROR_DISK_FULL for a
// full disk); the file may then hold part of the content, so write to a
// temporary name and rename.
// `opened`, when given, tells whether the file could be created or opened at
// all (false: the folder is missing or not writable).
Status WritePrivateFile(const std::filesystem::path& path, std::string_view content,
                        bool* opened = nullptr);

}  // namespace zem::platform

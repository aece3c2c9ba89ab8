// The Windows attribute bits of a file or folder, its last-write time, and
// a move that replaces its target.
//
// The bits are the Windows values on both platforms. On Linux: DIRECTORY
// from the mode, READONLY when the owner may not write (or the entry's
// user.zem.attributes says so), HIDDEN, SYSTEM and TEMPORARY from
// user.zem.attributes, REPARSE_POINT when the entry carries user.zem.identity
// (a placeholder) or is a symbolic link, NORMAL when no other bit is set.
//
// A failure carries the path and the OS error (GetLastError / errno) that
// log lines print as "err=<decimal>" (Status::os_error). All are thread-safe;
// none follows a symbolic link at the last component except where noted.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/status.h"

namespace zem::platform {

inline constexpr uint32_t kFileAttributeReadonly = 0x1;
inline constexpr uint32_t kFileAttributeHidden = 0x2;
inline constexpr uint32_t kFileAttributeSystem = 0x4;
inline constexpr uint32_t kFileAttributeDirectory = 0x10;
inline constexpr uint32_t kFileAttributeNormal = 0x80;
inline constexpr uint32_t kFileAttributeTemporary = 0x100;
inline constexpr uint32_t kFileAttributeReparsePoint = 0x400;

// Reads the attribute bits of `path` into *attributes.
Status ReadFileAttributes(const std::filesystem::path& path, uint32_t* attributes);

// Sets the settable bits (READONLY, HIDDEN, SYSTEM, TEMPORARY; NORMAL alone
// clears them) of `path`; the others are ignored.
Status WriteFileAttributes(const std::filesystem::path& path, uint32_t attributes);

// The last-write time of `path` (following a link), as FILETIME ticks: 100 ns
// since 1601-01-01 UTC.
Status ReadLastWriteTime(const std::filesystem::path& path, int64_t* filetime);
Status WriteLastWriteTime(const std::filesystem::path& path, int64_t filetime);

// Renames `from` to `to`, replacing an existing file `to`.
Status MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// The current time as FILETIME ticks (GetSystemTimeAsFileTime).
int64_t CurrentFileTime();

// Conversions between FILETIME ticks and Unix time in nanoseconds.
inline constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;
inline constexpr int64_t FileTimeFromUnixNanos(int64_t ns) {
  return kFileTimeUnixEpoch + ns / 100;
}
inline constexpr int64_t UnixNanosFromFileTime(int64_t ft) {
  return (ft - kFileTimeUnixEpoch) * 100;
}

}  // namespace zem::platform

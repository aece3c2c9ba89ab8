// The placeholder state of the Linux sync root, kept in extended attributes
// of the files and folders themselves:
//   user.zem.identity    the identity bytes; its presence makes a placeholder
//   user.zem.size        decimal logical size of a file whose content is not
//                        on disk yet (the file itself is empty)
//   user.zem.state       decimal flags: 1 in sync, 2 hydrated, 4 a fetch (or
//                        a re-point) is writing the content: what is on
//                        disk is no content until the bit is gone
//   user.zem.sha256      listed SHA-256 of a file's content, when known
//   user.zem.attributes  decimal Windows attribute bits with no POSIX meaning
//                        (READONLY, HIDDEN, SYSTEM, TEMPORARY)
//   user.zem.syncroot    on the sync-root folder: its registration id
//
// The helpers work on any descriptor, O_PATH ones included (through
// /proc/self/fd), and return 0 or an errno (ENODATA when the attribute is
// absent). Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zem::platform::fusefs {

inline constexpr char kXattrIdentity[] = "user.zem.identity";
inline constexpr char kXattrSize[] = "user.zem.size";
inline constexpr char kXattrState[] = "user.zem.state";
inline constexpr char kXattrAttributes[] = "user.zem.attributes";
inline constexpr char kXattrSyncRoot[] = "user.zem.syncroot";
inline constexpr char kXattrSha256[] = "user.zem.sha256";

inline constexpr uint32_t kStateInSync = 1;
inline constexpr uint32_t kStateHydrated = 2;
inline constexpr uint32_t kStateFetching = 4;

int GetXattr(int fd, const char* name, std::string* value);
int SetXattr(int fd, const char* name, std::string_view value);
// Removing an absent attribute succeeds.
int RemoveXattr(int fd, const char* name);

// The decimal number held by an attribute; `fallback` when it is absent or
// not a number.
uint64_t GetXattrNumber(int fd, const char* name, uint64_t fallback);
int SetXattrNumber(int fd, const char* name, uint64_t value);

// Everything a placeholder carries, read in one go.
struct PlaceholderXattrs {
  bool is_placeholder = false;
  std::string identity;
  bool content_remote = false;  // user.zem.size present: content not on disk
  int64_t logical_size = 0;
  uint32_t state = 0;
  uint32_t attributes = 0;
};
int ReadPlaceholderXattrs(int fd, PlaceholderXattrs* out);

// How many times this process has set the in-sync bit of any placeholder.
// An open file that was written clears the bit at its first write and again
// at the first write after any new mark, so a mark made while a writer keeps
// the file open does not hide that writer's later changes.
uint64_t InSyncMarks();

// Sets or clears bits of user.zem.state.
int UpdateStateBits(int fd, uint32_t set, uint32_t clear);

// A path that reaches the object of `fd` with the path-based xattr calls.
std::string ProcFdPath(int fd);

}  // namespace zem::platform::fusefs

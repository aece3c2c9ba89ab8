// Placeholder identities: the bytes stored with every placeholder, a kind
// letter, a colon and a value, without terminator or length prefix.
//   F: server file id      D: server folder id     V: virtual-root name
//   P: pending local file (decimal FNV-1a hash of its path)
//   S: shared item         R: recycle-bin item
// All functions are pure and thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace zem {

std::string FileIdentity(std::string_view file_id);
std::string FolderIdentity(std::string_view folder_id);
std::string VirtualRootIdentity(std::string_view utf8_name);
std::string SharedIdentity(std::string_view server_id);
std::string RecycledIdentity(std::string_view server_id);

// 64-bit FNV-1a (offset basis 0xcbf29ce484222325, prime 0x100000001b3) over
// the UTF-16LE bytes of `utf16_path` (two bytes per code unit, no
// terminator), so the value is the same on every platform.
uint64_t PendingPathHash(std::u16string_view utf16_path);

// "P:" + the decimal hash of the full path as given.
std::string PendingIdentity(const std::filesystem::path& path);

// The server id of an identity: everything after the first two bytes when
// the identity has at least two and the second is ':'; else the whole of it.
std::string ServerIdFromIdentity(std::string_view identity);

}  // namespace zem

#include "sync/identity.h"

#include "common/cat.h"
#include "platform/text.h"

namespace zem {

std::string FileIdentity(std::string_view file_id) { return Cat("F:", file_id); }
std::string FolderIdentity(std::string_view folder_id) { return Cat("D:", folder_id); }
std::string VirtualRootIdentity(std::string_view utf8_name) { return Cat("V:", utf8_name); }
std::string SharedIdentity(std::string_view server_id) { return Cat("S:", server_id); }
std::string RecycledIdentity(std::string_view server_id) { return Cat("R:", server_id); }

uint64_t PendingPathHash(std::u16string_view utf16_path) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (char16_t unit : utf16_path) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(unit & 0xFF), static_cast<uint8_t>(unit >> 8)};
    for (uint8_t b : bytes) {
      h ^= b;
      h *= 0x100000001b3ull;
    }
  }
  return h;
}

std::string PendingIdentity(const std::filesystem::path& path) {
  return Cat("P:", PendingPathHash(platform::Utf8ToWide(platform::PathToUtf8(path))));
}

std::string ServerIdFromIdentity(std::string_view identity) {
  if (identity.size() >= 2 && identity[1] == ':') return std::string(identity.substr(2));
  return std::string(identity);
}

}  // namespace zem

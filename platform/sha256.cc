#include "platform/sha256.h"

namespace zem::platform {

std::string Sha256Hex(const Sha256Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (uint8_t b : digest) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

std::string Sha256HexOf(std::string_view bytes) {
  Sha256 h;
  h.Update(bytes);
  Sha256Digest d;
  if (!h.Final(d).ok()) return {};
  return Sha256Hex(d);
}

}  // namespace zem::platform

// Streaming SHA-256 (OpenSSL) with lower-case hexadecimal output.
//
// zemd keeps its own wrapper instead of the client's platform/sha256.h on
// purpose: it is the reference the client is checked against (the content
// hashes it stores and lists are what the client's uploads and hydration are
// compared with), so it shares no code with the client; a fault in the
// client's hashing must show up as a mismatch, not be repeated by the
// service. It is also a Linux-only program, outside the platform seam.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace zem::zemd {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t len);
  // 64 lower-case hex digits; the object must not be updated afterwards.
  std::string HexDigest();

 private:
  evp_md_ctx_st* ctx_;
};

std::string Sha256Hex(std::string_view data);

}  // namespace zem::zemd

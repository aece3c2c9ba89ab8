// Streaming SHA-256 (OpenSSL) with lower-case hexadecimal output.
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

#include "service/sha256.h"

#include <openssl/evp.h>

namespace zem::zemd {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr); }

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

void Sha256::Update(const void* data, size_t len) {
  if (len) EVP_DigestUpdate(ctx_, data, len);
}

std::string Sha256::HexDigest() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx_, md, &n);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

std::string Sha256Hex(std::string_view data) {
  Sha256 h;
  h.Update(data.data(), data.size());
  return h.HexDigest();
}

}  // namespace zem::zemd

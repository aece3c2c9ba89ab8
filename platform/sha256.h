// Streaming SHA-256 (content hashes of files).
//
// Windows: CNG (BCrypt). Linux: OpenSSL EVP. An object hashes one stream:
// Update any number of times, then Final once. Objects are independent, so
// any number of threads may hash at once (one object per thread).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace zem::platform {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // False when the platform could not set up the hash (then Final fails too).
  bool ok() const;

  void Update(const void* data, size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }

  // The digest of everything passed to Update. Call once; a second call, or
  // a hash the platform could not set up or feed, fails.
  Status Final(Sha256Digest& digest);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Lower-case hexadecimal of a digest (64 characters).
std::string Sha256Hex(const Sha256Digest& digest);

// Lower-case hexadecimal SHA-256 of a byte string.
std::string Sha256HexOf(std::string_view bytes);

struct Sha256FileResult {
  Status status;      // the failure of opening or reading the file, if any
  std::string hex;    // when ok: lower-case hexadecimal digest
  uint64_t size = 0;  // bytes hashed
  bool ok() const { return status.ok(); }
};

// Hashes a whole file, reading it in large pieces. Other programs may keep
// the file open (it is opened for shared reading).
Sha256FileResult Sha256File(const std::filesystem::path& file);

}  // namespace zem::platform

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/sha256.h"

namespace zem::platform {

struct Sha256::Impl {
  EVP_MD_CTX* ctx = nullptr;
  bool ok = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  impl_->ctx = EVP_MD_CTX_new();
  impl_->ok = impl_->ctx && EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(impl_->ctx); }

bool Sha256::ok() const { return impl_->ok; }

void Sha256::Update(const void* data, size_t size) {
  if (impl_->ok && size > 0) impl_->ok = EVP_DigestUpdate(impl_->ctx, data, size) == 1;
}

Status Sha256::Final(Sha256Digest& digest) {
  unsigned int len = 0;
  const bool ok = impl_->ok && EVP_DigestFinal_ex(impl_->ctx, digest.data(), &len) == 1 &&
                  len == digest.size();
  impl_->ok = false;  // one digest per object
  // OpenSSL's failures carry no errno: EIO stands for them.
  return ok ? Status() : StatusFromOsError("SHA-256 digest", EIO);
}

Sha256FileResult Sha256File(const std::filesystem::path& file) {
  Sha256FileResult r;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    r.status = StatusFromOsError("open " + file.string(), static_cast<uint32_t>(err));
    return r;
  }
  Sha256 h;
  std::vector<char> buf(1 << 20);
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      r.status = StatusFromOsError("read " + file.string(), static_cast<uint32_t>(err));
      ::close(fd);
      return r;
    }
    if (n == 0) break;
    h.Update(buf.data(), static_cast<size_t>(n));
    r.size += static_cast<uint64_t>(n);
  }
  ::close(fd);
  Sha256Digest d;
  if (Status done = h.Final(d); !done.ok()) {
    r.status = StatusFromOsError("hash " + file.string(), done.os_error());
    return r;
  }
  r.hex = Sha256Hex(d);
  return r;
}

}  // namespace zem::platform

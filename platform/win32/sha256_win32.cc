// CNG hashing. The algorithm provider is opened once and shared: BCrypt
// allows one provider handle to create hash objects on any thread.
#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "platform/sha256.h"
#include "platform/text.h"

namespace zem::platform {
namespace {

BCRYPT_ALG_HANDLE Provider() {
  static BCRYPT_ALG_HANDLE alg = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    return h;
  }();
  return alg;
}

}  // namespace

struct Sha256::Impl {
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  BCRYPT_ALG_HANDLE alg = Provider();
  // With a null object buffer CNG allocates the hash object itself.
  impl_->ok = alg && BCRYPT_SUCCESS(BCryptCreateHash(alg, &impl_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
  if (impl_->hash) BCryptDestroyHash(impl_->hash);
}

bool Sha256::ok() const { return impl_->ok; }

void Sha256::Update(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (impl_->ok && size > 0) {
    const ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    impl_->ok = BCRYPT_SUCCESS(BCryptHashData(impl_->hash, const_cast<PUCHAR>(p), piece, 0));
    p += piece;
    size -= piece;
  }
}

Status Sha256::Final(Sha256Digest& digest) {
  const bool ok = impl_->ok && BCRYPT_SUCCESS(BCryptFinishHash(
                                   impl_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
  impl_->ok = false;  // one digest per object
  // CNG's NTSTATUS is no Win32 error: ERROR_INVALID_FUNCTION stands for it.
  return ok ? Status() : StatusFromOsError("BCryptFinishHash", ERROR_INVALID_FUNCTION);
}

Sha256FileResult Sha256File(const std::filesystem::path& file) {
  Sha256FileResult r;
  HANDLE h = CreateFileW(file.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    r.status = StatusFromOsError("open " + PathToUtf8(file), err);
    return r;
  }
  Sha256 hash;
  std::vector<char> buf(1 << 20);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) {
      const DWORD err = GetLastError();
      r.status = StatusFromOsError("read " + PathToUtf8(file), err);
      CloseHandle(h);
      return r;
    }
    if (got == 0) break;
    hash.Update(buf.data(), got);
    r.size += got;
  }
  CloseHandle(h);
  Sha256Digest d;
  if (Status done = hash.Final(d); !done.ok()) {
    r.status = StatusFromOsError("hash " + PathToUtf8(file), done.os_error());
    return r;
  }
  r.hex = Sha256Hex(d);
  return r;
}

}  // namespace zem::platform

// AES-256-GCM under a per-user key file, standing in for DPAPI.
//
// The key is 32 random bytes in LocalAppDataFolder()/ZemCloudDisk/secret.key.
// It is created on the first protect: written whole into a private temporary
// file (O_CREAT | O_EXCL, mode 0600) and published with link(), which fails
// if the key already exists. So two processes racing to create it agree on
// one key, and no reader ever sees a partly written key.
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "platform/known_folders.h"
#include "platform/private_files.h"
#include "platform/secret.h"

namespace zem::platform {
namespace {

constexpr char kMagic[4] = {'Z', 'S', 'K', '1'};
constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
constexpr size_t kOverhead = sizeof kMagic + kNonceSize + kTagSize;

using Key = unsigned char[kKeySize];

constexpr char kProtect[] = "protect the token";
constexpr char kUnprotect[] = "decrypt the token";

Status Fail(const char* what, int err, std::string_view explanation = {}) {
  return StatusFromOsError(what, static_cast<uint32_t>(err)).WithExplanation(explanation);
}

// What is wrong with the key file, for a failed load.
std::string KeyProblem(const std::filesystem::path& path, int err) {
  const std::string shown = path.string();
  constexpr char kFix[] = "; delete it and run keygate to save the token again";
  switch (err) {
    case EBADMSG:
      return "the key file " + shown + " is damaged (it must hold exactly 32 bytes)" + kFix;
    case EACCES:
      return "the key file " + shown +
             " is not a private file of this user (it must be a regular file with mode 0600)" +
             kFix;
    case ENOENT:
      return "the key file " + shown + " is missing, so the stored token cannot be decrypted" +
             "; run keygate to save the token again";
    default:
      return "the key file " + shown + " cannot be read: " + std::strerror(err);
  }
}

std::filesystem::path KeyPath() {
  const auto local = LocalAppDataFolder();
  if (local.empty()) return {};
  return local / "ZemCloudDisk" / "secret.key";
}

// Reads exactly the key from an open descriptor of a private, regular file
// owned by this user. Returns 0 or an errno.
int ReadKeyFrom(int fd, Key key) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return errno;
  // A key that others could read (or replace) does not protect anything.
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) return EACCES;
  if (st.st_size != static_cast<off_t>(kKeySize)) return EBADMSG;
  size_t got = 0;
  while (got < kKeySize) {
    const ssize_t n = ::read(fd, key + got, kKeySize - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EBADMSG;
    got += static_cast<size_t>(n);
  }
  return 0;
}

int LoadKey(const std::filesystem::path& path, Key key) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno;
  const int err = ReadKeyFrom(fd, key);
  ::close(fd);
  return err;
}

int WriteAll(int fd, const unsigned char* p, size_t n) {
  while (n > 0) {
    const ssize_t put = ::write(fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return put < 0 ? errno : EIO;
    p += put;
    n -= static_cast<size_t>(put);
  }
  return 0;
}

// Creates the key unless another process already has; either way `key` ends
// up holding the one key on disk.
int CreateOrLoadKey(const std::filesystem::path& path, Key key) {
  // The key's folder is private to the user, whatever the umask.
  if (const Status made = EnsurePrivateDirectory(path.parent_path()); !made.ok()) {
    return static_cast<int>(made.os_error());
  }

  unsigned char fresh[kKeySize];
  if (RAND_bytes(fresh, sizeof fresh) != 1) return EIO;
  unsigned char salt[8];
  if (RAND_bytes(salt, sizeof salt) != 1) return EIO;
  std::string tmp = path.string() + ".tmp.";
  for (unsigned char b : salt) {
    tmp.push_back("0123456789abcdef"[b >> 4]);
    tmp.push_back("0123456789abcdef"[b & 15]);
  }
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno;
  int err = WriteAll(fd, fresh, sizeof fresh);
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::link(tmp.c_str(), path.c_str()) != 0) err = errno;
  ::unlink(tmp.c_str());
  if (err == EEXIST) return LoadKey(path, key);  // another process won the race
  if (err != 0) return err;
  std::memcpy(key, fresh, sizeof fresh);
  OPENSSL_cleanse(fresh, sizeof fresh);
  return 0;
}

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

unsigned char* U(char* p) { return reinterpret_cast<unsigned char*>(p); }
const unsigned char* U(const char* p) { return reinterpret_cast<const unsigned char*>(p); }

}  // namespace

Status ProtectForCurrentUser(std::string_view plain, std::u16string_view /*description*/,
                             std::string& blob) {
  blob.clear();
  if (plain.size() > static_cast<size_t>(INT32_MAX) - kOverhead) return Fail(kProtect, EFBIG);
  const auto path = KeyPath();
  if (path.empty()) return Fail(kProtect, ENOENT);
  Key key;
  int err = LoadKey(path, key);
  if (err == ENOENT) err = CreateOrLoadKey(path, key);
  if (err != 0) return Fail(kProtect, err, KeyProblem(path, err));

  std::string out(kOverhead + plain.size(), '\0');
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  unsigned char* nonce = U(out.data()) + sizeof kMagic;
  unsigned char* body = nonce + kNonceSize;
  bool ok = RAND_bytes(nonce, kNonceSize) == 1;
  Ctx ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  ok = ok && ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce) == 1 &&
       EVP_EncryptUpdate(ctx.get(), nullptr, &len, U(kMagic), sizeof kMagic) == 1;
  size_t written = 0;
  if (ok && !plain.empty()) {
    ok = EVP_EncryptUpdate(ctx.get(), body, &len, U(plain.data()), static_cast<int>(plain.size())) == 1;
    written = static_cast<size_t>(len);
  }
  ok = ok && EVP_EncryptFinal_ex(ctx.get(), body + written, &len) == 1;
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize,
                                 body + plain.size()) == 1;
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) return Fail(kProtect, EIO);
  blob = std::move(out);
  return Status();
}

Status UnprotectForCurrentUser(std::string_view blob, std::string& plain) {
  plain.clear();
  if (blob.size() < kOverhead || std::memcmp(blob.data(), kMagic, sizeof kMagic) != 0 ||
      blob.size() - kOverhead > static_cast<size_t>(INT32_MAX)) {
    return Fail(kUnprotect, EBADMSG, "the token blob is damaged (not a blob this program wrote)");
  }
  const auto path = KeyPath();
  if (path.empty()) return Fail(kUnprotect, ENOENT);
  Key key;
  if (const int err = LoadKey(path, key); err != 0) return Fail(kUnprotect, err, KeyProblem(path, err));

  const unsigned char* nonce = U(blob.data()) + sizeof kMagic;
  const unsigned char* body = nonce + kNonceSize;
  const size_t body_size = blob.size() - kOverhead;
  unsigned char tag[kTagSize];
  std::memcpy(tag, body + body_size, kTagSize);
  std::string out(body_size, '\0');
  Ctx ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce) == 1 &&
            EVP_DecryptUpdate(ctx.get(), nullptr, &len, U(kMagic), sizeof kMagic) == 1;
  size_t written = 0;
  if (ok && body_size > 0) {
    ok = EVP_DecryptUpdate(ctx.get(), U(out.data()), &len, body, static_cast<int>(body_size)) == 1;
    written = static_cast<size_t>(len);
  }
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag) == 1;
  // The tag check: a damaged blob or one made under another key fails here.
  ok = ok && EVP_DecryptFinal_ex(ctx.get(), U(out.data()) + written, &len) == 1;
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) {
    OPENSSL_cleanse(out.data(), out.size());
    return Fail(kUnprotect, EBADMSG, "the token blob does not decrypt under the key file " + path.string() +
                             " (damaged, or saved under another key)");
  }
  plain = std::move(out);
  return Status();
}

}  // namespace zem::platform

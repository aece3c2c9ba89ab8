#include "service/blob_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "service/sha256.h"

namespace zem::zemd {

namespace fs = std::filesystem;

namespace {
constexpr size_t kWriteBuffer = 1 << 20;
std::atomic<uint64_t> g_tmp_counter{0};
}  // namespace

bool BlobStore::Open(const fs::path& data_dir, std::string* error) {
  blob_dir_ = data_dir / "blobs";
  tmp_dir_ = data_dir / "tmp";
  std::error_code ec;
  fs::create_directories(blob_dir_, ec);
  if (!ec) fs::create_directories(tmp_dir_, ec);
  if (ec) {
    *error = "cannot create " + blob_dir_.string() + ": " + ec.message();
    return false;
  }
  for (const auto& entry : fs::directory_iterator(tmp_dir_, ec)) {
    std::error_code ignored;
    fs::remove_all(entry.path(), ignored);
  }
  fs::path probe = tmp_dir_ / ".write-probe";
  int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "data folder " + data_dir.string() + " is not writable: " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

fs::path BlobStore::PathOf(const std::string& sha256) const { return blob_dir_ / sha256; }

bool BlobStore::Exists(const std::string& sha256) const {
  std::error_code ec;
  return fs::is_regular_file(PathOf(sha256), ec);
}

void BlobStore::Remove(const std::string& sha256) const {
  if (sha256.empty()) return;
  std::error_code ec;
  fs::remove(PathOf(sha256), ec);
}

struct BlobWriter::HashState {
  Sha256 sha;
};

BlobWriter::BlobWriter(const BlobStore& store) : store_(store), hash_(new HashState) {
  tmp_path_ = store.tmp_dir() / ("up-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(g_tmp_counter.fetch_add(1)));
  fd_ = ::open(tmp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0) error_ = "cannot create " + tmp_path_.string() + ": " + std::strerror(errno);
  buffer_.resize(kWriteBuffer);
}

BlobWriter::~BlobWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(tmp_path_.c_str());
  delete hash_;
}

bool BlobWriter::Flush() {
  size_t off = 0;
  while (off < used_) {
    ssize_t n = ::write(fd_, buffer_.data() + off, used_ - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = std::string("write failed: ") + std::strerror(errno);
      return false;
    }
    off += static_cast<size_t>(n);
  }
  used_ = 0;
  return true;
}

bool BlobWriter::Append(const char* data, size_t len) {
  if (!ok() || finished_) return false;
  hash_->sha.Update(data, len);
  size_ += len;
  while (len > 0) {
    size_t take = std::min(len, buffer_.size() - used_);
    std::memcpy(buffer_.data() + used_, data, take);
    used_ += take;
    data += take;
    len -= take;
    if (used_ == buffer_.size() && !Flush()) return false;
  }
  return true;
}

bool BlobWriter::Finish() {
  if (finished_) return ok();
  finished_ = true;
  sha256_ = hash_->sha.HexDigest();
  return ok() && Flush();
}

bool BlobWriter::Commit() {
  if (!Finish()) return false;
  ::close(fd_);
  fd_ = -1;
  fs::path target = store_.PathOf(sha256_);
  if (::rename(tmp_path_.c_str(), target.c_str()) != 0) {
    error_ = "cannot store blob " + target.string() + ": " + std::strerror(errno);
    return false;
  }
  committed_ = true;
  return true;
}

bool StoreLocalFile(const BlobStore& store, const fs::path& path, uint64_t* size,
                    std::string* sha256, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  BlobWriter writer(store);
  std::vector<char> buf(1 << 20);
  while (writer.ok()) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path.string() + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    writer.Append(buf.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  if (!writer.Commit()) {
    *error = writer.error();
    return false;
  }
  *size = writer.size();
  *sha256 = writer.sha256();
  return true;
}

}  // namespace zem::zemd

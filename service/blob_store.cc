#include "service/blob_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
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

struct BlobWriter::Pipeline {
  static constexpr size_t kMaxInFlight = 4;
  using Buffer = std::shared_ptr<std::vector<char>>;

  Sha256 sha;
  std::mutex mu;
  std::condition_variable cv;
  // The same buffers, in order, for each of the two threads; a buffer goes
  // back to `spare` when both have let go of it.
  std::deque<Buffer> to_hash;
  std::deque<Buffer> to_write;
  std::vector<std::vector<char>> spare;
  size_t in_flight = 0;
  bool closing = false;
  std::string error;
  std::thread hasher;
  std::thread writer;

  // Runs `work` on each buffer of `queue` until closing and drained.
  template <typename Work>
  void Drain(std::deque<Buffer>& queue, Work work) {
    std::unique_lock<std::mutex> lock(mu);
    while (true) {
      cv.wait(lock, [&] { return !queue.empty() || closing; });
      if (queue.empty()) return;
      Buffer buf = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      work(*buf);
      buf.reset();  // may hand the buffer back; takes the lock itself
      lock.lock();
    }
  }
};

BlobWriter::BlobWriter(const BlobStore& store) : store_(store), pipe_(new Pipeline) {
  tmp_path_ = store.tmp_dir() / ("up-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(g_tmp_counter.fetch_add(1)));
  fd_ = ::open(tmp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0) Fail("cannot create " + tmp_path_.string() + ": " + std::strerror(errno));
  current_.reserve(kWriteBuffer);
}

BlobWriter::~BlobWriter() {
  StopThreads();
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(tmp_path_.c_str());
  delete pipe_;
}

bool BlobWriter::ok() const {
  std::lock_guard<std::mutex> lock(pipe_->mu);
  return pipe_->error.empty();
}

std::string BlobWriter::error() const {
  std::lock_guard<std::mutex> lock(pipe_->mu);
  return pipe_->error;
}

void BlobWriter::Fail(const std::string& message) {
  std::lock_guard<std::mutex> lock(pipe_->mu);
  if (pipe_->error.empty()) pipe_->error = message;
}

void BlobWriter::Hash(const std::vector<char>& buffer) {
  pipe_->sha.Update(buffer.data(), buffer.size());
}

void BlobWriter::Write(const std::vector<char>& buffer) {
  size_t off = 0;
  while (off < buffer.size() && fd_ >= 0) {
    ssize_t n = ::write(fd_, buffer.data() + off, buffer.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(std::string("write failed: ") + std::strerror(errno));
      return;
    }
    off += static_cast<size_t>(n);
  }
}

void BlobWriter::StartThreads() {
  pipe_->hasher = std::thread([this] {
    pipe_->Drain(pipe_->to_hash, [this](const std::vector<char>& b) { Hash(b); });
  });
  pipe_->writer = std::thread([this] {
    pipe_->Drain(pipe_->to_write, [this](const std::vector<char>& b) { Write(b); });
  });
}

// Lets both threads finish the buffers already handed over, then joins them.
void BlobWriter::StopThreads() {
  if (!pipe_->hasher.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(pipe_->mu);
    pipe_->closing = true;
  }
  pipe_->cv.notify_all();
  pipe_->hasher.join();
  pipe_->writer.join();
}

// Hands the filled buffer to both threads and takes an empty one, waiting
// while four buffers are in flight.
void BlobWriter::Submit() {
  if (!pipe_->hasher.joinable()) StartThreads();
  Pipeline* pipe = pipe_;
  std::unique_lock<std::mutex> lock(pipe->mu);
  pipe->cv.wait(lock, [&] { return pipe->in_flight < Pipeline::kMaxInFlight; });
  ++pipe->in_flight;
  Pipeline::Buffer buf(new std::vector<char>(std::move(current_)), [pipe](std::vector<char>* v) {
    v->clear();
    std::lock_guard<std::mutex> guard(pipe->mu);
    pipe->spare.push_back(std::move(*v));
    --pipe->in_flight;
    pipe->cv.notify_all();
    delete v;
  });
  pipe->to_hash.push_back(buf);
  pipe->to_write.push_back(std::move(buf));
  pipe->cv.notify_all();
  if (!pipe->spare.empty()) {
    current_ = std::move(pipe->spare.back());
    pipe->spare.pop_back();
  } else {
    current_ = std::vector<char>();
    current_.reserve(kWriteBuffer);
  }
}

bool BlobWriter::Append(const char* data, size_t len) {
  if (finished_ || fd_ < 0 || !ok()) return false;
  size_ += len;
  while (len > 0) {
    size_t take = std::min(len, kWriteBuffer - current_.size());
    current_.insert(current_.end(), data, data + take);
    data += take;
    len -= take;
    if (current_.size() == kWriteBuffer) Submit();
  }
  return true;
}

bool BlobWriter::Finish() {
  if (finished_) return ok();
  finished_ = true;
  StopThreads();
  Hash(current_);
  Write(current_);
  current_ = std::vector<char>();
  sha256_ = pipe_->sha.HexDigest();
  return fd_ >= 0 && ok();
}

bool BlobWriter::Commit() {
  if (!Finish()) return false;
  ::close(fd_);
  fd_ = -1;
  fs::path target = store_.PathOf(sha256_);
  if (::rename(tmp_path_.c_str(), target.c_str()) != 0) {
    Fail("cannot store blob " + target.string() + ": " + std::strerror(errno));
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

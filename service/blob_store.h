// File content stored under the data folder as blobs/<sha256>. New content
// is written to tmp/ while it is hashed and renamed into place when complete,
// so a blob file is never seen half-written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zem::zemd {

class BlobStore {
 public:
  // Creates blobs/ and tmp/ under `data_dir` and empties tmp/. Returns false
  // with a message when the folder cannot be created or written.
  bool Open(const std::filesystem::path& data_dir, std::string* error);

  std::filesystem::path PathOf(const std::string& sha256) const;
  bool Exists(const std::string& sha256) const;
  // Removes the blob (no error when it is already gone).
  void Remove(const std::string& sha256) const;
  const std::filesystem::path& tmp_dir() const { return tmp_dir_; }

 private:
  std::filesystem::path blob_dir_;
  std::filesystem::path tmp_dir_;
};

// Receives content in pieces, hashing and writing it to a temporary file.
// Pieces are gathered into 1 MiB buffers; once the first buffer is full, two
// threads of the writer take the buffers in order, one hashing and one
// writing, while the caller keeps receiving (at most four buffers are in
// flight, so memory stays bounded). Commit() moves the file to its blob name; a writer destroyed
// without Commit() removes its temporary file.
class BlobWriter {
 public:
  explicit BlobWriter(const BlobStore& store);
  ~BlobWriter();
  BlobWriter(const BlobWriter&) = delete;
  BlobWriter& operator=(const BlobWriter&) = delete;

  bool ok() const;
  std::string error() const;
  bool Append(const char* data, size_t len);
  // Writes what is buffered and finishes the hash (size() and sha256() are
  // then final). Commit() calls it when it has not been called.
  bool Finish();
  // Renames the file to blobs/<sha256>.
  bool Commit();
  uint64_t size() const { return size_; }
  const std::string& sha256() const { return sha256_; }

 private:
  struct Pipeline;
  // Hashes, or writes, one buffer.
  void Hash(const std::vector<char>& buffer);
  void Write(const std::vector<char>& buffer);
  void Submit();
  void StartThreads();
  void StopThreads();
  void Fail(const std::string& message);

  const BlobStore& store_;
  std::filesystem::path tmp_path_;
  int fd_ = -1;
  std::vector<char> current_;  // being filled by Append
  uint64_t size_ = 0;
  std::string sha256_;
  bool committed_ = false;
  bool finished_ = false;
  Pipeline* pipe_;
};

// Copies a local file into the store; fills size and hash.
bool StoreLocalFile(const BlobStore& store, const std::filesystem::path& path,
                    uint64_t* size, std::string* sha256, std::string* error);

}  // namespace zem::zemd

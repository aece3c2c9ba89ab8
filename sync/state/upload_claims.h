// Which local files an upload is running for right now, so that the poll
// cycle and the upload workers never upload the same file twice at once.
// In memory only; one lock. Thread-safe.
#pragma once

#include <filesystem>
#include <string>

namespace zem {

// Holds the claim on one path while alive. claimed() is false when another
// upload holds the path already; the caller then leaves the file alone.
class UploadClaim {
 public:
  explicit UploadClaim(const std::filesystem::path& path);
  ~UploadClaim();
  UploadClaim(const UploadClaim&) = delete;
  UploadClaim& operator=(const UploadClaim&) = delete;
  bool claimed() const { return claimed_; }

 private:
  std::string key_;
  bool claimed_ = false;
};

bool IsUploadClaimed(const std::filesystem::path& path);

}  // namespace zem

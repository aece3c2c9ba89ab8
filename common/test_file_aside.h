// For tests that work on the real per-user files (under Wine the test
// prefix's app-data folder): moves an existing file or folder out of the way
// for the duration of the test and puts it back afterwards, removing
// whatever the test left in its place.
#pragma once

#include <filesystem>
#include <system_error>

namespace zem::testing {

class FileAside {
 public:
  explicit FileAside(std::filesystem::path path) : path_(std::move(path)), saved_(path_) {
    saved_ += ".set-aside-by-test";
    std::error_code ec;
    if (std::filesystem::exists(path_, ec)) {
      std::filesystem::remove_all(saved_, ec);
      std::filesystem::rename(path_, saved_, ec);
      moved_ = !ec;
    }
  }
  ~FileAside() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    if (moved_) std::filesystem::rename(saved_, path_, ec);
  }
  FileAside(const FileAside&) = delete;
  FileAside& operator=(const FileAside&) = delete;

  // False when a file was in the way and could not be moved.
  bool ok() const { return moved_ || !std::filesystem::exists(path_); }

 private:
  std::filesystem::path path_, saved_;
  bool moved_ = false;
};

}  // namespace zem::testing

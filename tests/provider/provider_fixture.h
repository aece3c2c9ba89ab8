// Helpers shared by the provider conformance suite (tests/provider) and the
// Linux provider's own tests (platform/linux/integration): temporary
// folders, deterministic content, whole-file reads, and a fetch-data
// callback that serves contents by identity. Portable: no platform header.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/known_folders.h"
#include "platform/process.h"

namespace zem::testing {

inline std::filesystem::path MakeTempDir(const std::string& stem) {
  auto dir = platform::TempFolder() / (stem + "-" + std::to_string(platform::CurrentProcessId()) +
                                       "-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  return dir;
}

inline std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Deterministic content: byte i of a file is a function of i and a seed.
inline char PatternByte(uint64_t i, uint32_t seed) {
  return static_cast<char>((i * 2654435761u + seed + (i >> 12)) & 0xFF);
}
inline std::string Pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = PatternByte(i, seed);
  return s;
}

// A fetch-data callback serving contents by identity, in pieces of 256 KiB
// from the required offset (4 KiB-aligned, the last one ending the file, as
// Windows requires), counting the fetches it saw.
class FakeCloud {
 public:
  void Put(const std::string& identity, std::string content) {
    std::lock_guard l(mu_);
    files_[identity] = std::move(content);
  }
  // Fail after `bytes` of every fetch (-1: never).
  void FailAfter(int64_t bytes) { fail_after_ = bytes; }
  void SetPieceDelay(std::chrono::milliseconds d) { delay_ = d; }

  platform::SyncRootCallbacks Callbacks() {
    platform::SyncRootCallbacks cb;
    cb.fetch_data = [this](const platform::FetchDataInfo& info) { Serve(info); };
    return cb;
  }

  int fetches() const { return fetches_.load(); }
  std::vector<platform::FetchDataInfo> infos() {
    std::lock_guard l(mu_);
    return infos_;
  }

 private:
  void Serve(const platform::FetchDataInfo& info) {
    fetches_++;
    std::string content;
    {
      std::lock_guard l(mu_);
      infos_.push_back(info);
      content = files_[info.identity];
    }
    const int64_t end = info.required_offset + info.required_length;
    int64_t at = info.required_offset;
    while (at < end) {
      if (fail_after_ >= 0 && at >= fail_after_) {
        platform::TransferData(info.key, platform::kStatusUnsuccessful, nullptr, at, end - at);
        return;
      }
      const int64_t n = std::min<int64_t>(256 * 1024, end - at);
      if (delay_.count()) std::this_thread::sleep_for(delay_);
      if (!platform::TransferData(info.key, platform::kStatusSuccess,
                                                      content.data() + at, at, n).ok()) {
        return;
      }
      at += n;
    }
  }

  std::mutex mu_;
  std::map<std::string, std::string> files_;
  std::vector<platform::FetchDataInfo> infos_;
  std::atomic<int> fetches_{0};
  std::atomic<int64_t> fail_after_{-1};
  std::chrono::milliseconds delay_{0};
};

}  // namespace zem::testing

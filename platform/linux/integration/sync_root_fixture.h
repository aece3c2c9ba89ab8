// A registered sync-root folder in a temporary place, connected with test
// callbacks, always disconnected (and, as a last resort, detached) at the
// end of the test, so no mount outlives a failing test.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/cloud_files.h"

namespace zem::testing {

inline std::filesystem::path MakeTempDir(const std::string& stem) {
  auto dir = std::filesystem::temp_directory_path() /
             (stem + "-" + std::to_string(getpid()) + "-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  return dir;
}

inline bool MarkAsSyncRoot(const std::filesystem::path& dir) {
  const std::string id(platform::kSyncRootId);
  return setxattr(dir.c_str(), "user.zem.syncroot", id.data(), id.size(), 0) == 0;
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

class SyncRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = MakeTempDir("zem-syncroot-home");
    setenv("HOME", home_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home_ / ".local/share").c_str(), 1);
    root_ = home_ / "ZEM云盘";
    std::filesystem::create_directories(root_);
    ASSERT_TRUE(MarkAsSyncRoot(root_));
  }

  void TearDown() override {
    Disconnect();
    // Whatever happened, leave no mount behind.
    umount2(root_.c_str(), MNT_DETACH);
    std::error_code ec;
    std::filesystem::remove_all(home_, ec);
  }

  platform::Hresult Connect(const platform::SyncRootCallbacks& callbacks) {
    const platform::Hresult hr = platform::ConnectSyncRoot(root_, callbacks, &key_);
    connected_ = platform::Succeeded(hr);
    return hr;
  }

  void Disconnect() {
    if (connected_) {
      EXPECT_EQ(platform::DisconnectSyncRoot(key_), 0);
    }
    connected_ = false;
  }

  // Creates one file placeholder in the root (or `dir` below it).
  platform::Hresult AddFile(const std::string& name, int64_t size, const std::string& identity,
                            uint32_t attributes = 0x80, const std::filesystem::path& dir = {}) {
    std::vector<platform::PlaceholderItem> items(1);
    items[0].relative_name = name;
    items[0].size = size;
    items[0].identity = identity;
    items[0].attributes = attributes;
    items[0].mark_in_sync = true;
    items[0].last_write_time = items[0].last_access_time = 133000000000000000LL;
    return platform::CreatePlaceholders(dir.empty() ? root_ : root_ / dir, items);
  }

  platform::PlaceholderState StateOf(const std::filesystem::path& p) {
    platform::PlaceholderHandle h;
    platform::PlaceholderState s;
    EXPECT_EQ(h.Open(p, false), 0u) << p;
    EXPECT_EQ(h.GetState(&s), 0);
    return s;
  }

  std::filesystem::path home_, root_;
  platform::ConnectionKey key_ = 0;
  bool connected_ = false;
};

// A fetch-data callback serving contents by identity, in pieces, counting
// the fetches it saw.
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
        platform::TransferData(info.key, platform::kStatusUnsuccessful, nullptr,
                               info.required_offset, info.required_length);
        return;
      }
      const int64_t n = std::min<int64_t>(256 * 1024, end - at);
      if (delay_.count()) std::this_thread::sleep_for(delay_);
      if (!platform::Succeeded(platform::TransferData(info.key, platform::kStatusSuccess,
                                                      content.data() + at, at, n))) {
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

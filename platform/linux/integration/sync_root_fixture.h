// A registered sync-root folder in a temporary place, connected with test
// callbacks, always disconnected (and, as a last resort, detached) at the
// end of the test, so no mount outlives a failing test. The helpers shared
// with the conformance suite of both providers (FakeCloud, Pattern,
// ReadAll) are in tests/provider/provider_fixture.h.
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
#include "tests/provider/provider_fixture.h"

namespace zem::testing {

inline bool MarkAsSyncRoot(const std::filesystem::path& dir) {
  const std::string id(platform::kSyncRootId);
  return setxattr(dir.c_str(), "user.zem.syncroot", id.data(), id.size(), 0) == 0;
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

  platform::Status Connect(const platform::SyncRootCallbacks& callbacks) {
    const platform::Status hr = platform::ConnectSyncRoot(root_, callbacks, &key_);
    connected_ = hr.ok();
    return hr;
  }

  void Disconnect() {
    if (connected_) {
      EXPECT_TRUE(platform::DisconnectSyncRoot(key_).ok());
    }
    connected_ = false;
  }

  // Creates one file placeholder in the root (or `dir` below it).
  platform::Status AddFile(const std::string& name, int64_t size, const std::string& identity,
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
    EXPECT_TRUE(h.Open(p, false).ok()) << p;
    EXPECT_TRUE(h.GetState(&s).ok());
    return s;
  }

  std::filesystem::path home_, root_;
  platform::ConnectionKey key_ = 0;
  bool connected_ = false;
};

}  // namespace zem::testing

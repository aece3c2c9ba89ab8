#include "common/agent_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>

#include "platform/known_folders.h"

namespace zem {
namespace {
namespace fs = std::filesystem;

class AgentLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = platform::TempFolder() /
           ("zem-log-test-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    log_ = dir_ / "logs" / "provider.log";
  }
  void TearDown() override { fs::remove_all(dir_); }

  static void Write(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  static void WriteSized(const fs::path& p, uintmax_t size) {
    Write(p, "");
    fs::resize_file(p, size);
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path Copy(int n) const { return fs::path(log_).concat("." + std::to_string(n)); }

  fs::path dir_, log_;
};

TEST_F(AgentLogTest, CreatesTheLogsFolderWhenMissing) {
  RotateLogAt(log_);
  EXPECT_TRUE(fs::is_directory(log_.parent_path()));
  EXPECT_FALSE(fs::exists(log_));
}

TEST_F(AgentLogTest, LogJustBelowTheThresholdIsKept) {
  WriteSized(log_, kLogRotateBytes - 1);
  RotateLogAt(log_);
  EXPECT_EQ(fs::file_size(log_), kLogRotateBytes - 1);
  EXPECT_FALSE(fs::exists(Copy(1)));
}

TEST_F(AgentLogTest, LogAtTheThresholdShiftsTheCopies) {
  WriteSized(log_, kLogRotateBytes);
  Write(Copy(1), "one");
  Write(Copy(2), "two");
  Write(Copy(3), "three");
  RotateLogAt(log_);
  EXPECT_FALSE(fs::exists(log_));
  EXPECT_EQ(fs::file_size(Copy(1)), kLogRotateBytes);
  EXPECT_EQ(Read(Copy(2)), "one");
  EXPECT_EQ(Read(Copy(3)), "two");  // the old .3 is gone
}

TEST_F(AgentLogTest, RotationWithGapsMovesWhatExists) {
  WriteSized(log_, kLogRotateBytes + 10);
  Write(Copy(2), "two");
  RotateLogAt(log_);
  EXPECT_EQ(fs::file_size(Copy(1)), kLogRotateBytes + 10);
  EXPECT_FALSE(fs::exists(Copy(2)));
  EXPECT_EQ(Read(Copy(3)), "two");
}

}  // namespace
}  // namespace zem

#include "platform/folder_states.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "platform/file_attributes.h"
#include "platform/text.h"

namespace zem::platform {
namespace {

namespace fs = std::filesystem;

// A folder outside any sync root: the plain enumeration of each platform
// (Linux reads it entry by entry, Windows enumerates it once) must report
// what ReadEntryState reports for every entry.
TEST(FolderStates, OnePassMatchesEachEntryInAPlainFolder) {
  const fs::path dir = fs::temp_directory_path() /
                       ("zem-folder-states-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir / "sub");
  const fs::path report = dir / PathFromUtf8("报告.txt");
  std::ofstream(report, std::ios::binary) << "report";
  std::ofstream(dir / "readonly.txt", std::ios::binary) << "ro";
  std::ofstream(dir / "hidden.txt", std::ios::binary) << "h";
  // 2024-01-02 03:04:05.5 UTC, in FILETIME ticks.
  const int64_t when = FileTimeFromUnixNanos(1704164645500000000LL);
  ASSERT_TRUE(WriteLastWriteTime(report, when).ok());
  ASSERT_TRUE(WriteFileAttributes(dir / "readonly.txt", kFileAttributeReadonly).ok());
  ASSERT_TRUE(WriteFileAttributes(dir / "hidden.txt", kFileAttributeHidden).ok());

  std::vector<FolderEntryState> entries;
  ASSERT_TRUE(ReadFolderStates(dir, &entries).ok());
  std::map<std::string, FolderEntryState> by_name;
  for (const auto& e : entries) by_name[PathToUtf8(e.name)] = e;
  ASSERT_EQ(entries.size(), 4u);
  ASSERT_EQ(by_name.size(), 4u);
  for (const auto& [name, e] : by_name) {
    FolderEntryState one;
    ASSERT_TRUE(ReadEntryState(dir / e.name, &one).ok()) << name;
    EXPECT_EQ(one.name, e.name) << name;
    EXPECT_EQ(one.is_directory, e.is_directory) << name;
    EXPECT_EQ(one.attributes, e.attributes) << name;
    EXPECT_EQ(one.last_write_time, e.last_write_time) << name;
    EXPECT_EQ(one.is_placeholder, e.is_placeholder) << name;
    EXPECT_FALSE(e.is_placeholder) << name;
  }
  EXPECT_EQ(by_name["报告.txt"].last_write_time, when);
  EXPECT_FALSE(by_name["报告.txt"].is_directory);
  EXPECT_EQ(by_name["readonly.txt"].attributes & kFileAttributeReadonly, kFileAttributeReadonly);
  EXPECT_EQ(by_name["hidden.txt"].attributes & kFileAttributeHidden, kFileAttributeHidden);
  EXPECT_EQ(by_name["hidden.txt"].attributes & kFileAttributeReadonly, 0u);
  EXPECT_TRUE(by_name["sub"].is_directory);
  EXPECT_EQ(by_name["sub"].attributes & kFileAttributeDirectory, kFileAttributeDirectory);
  EXPECT_EQ(by_name["sub"].last_write_time, 0);

  // Nothing is left over from an earlier call; a missing folder and a file
  // given as the folder are empty, not failures.
  EXPECT_TRUE(ReadFolderStates(dir / "sub", &entries).ok());
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(ReadFolderStates(dir / "missing", &entries).ok());
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(ReadFolderStates(report, &entries).ok());
  EXPECT_TRUE(entries.empty());
  FolderEntryState gone;
  EXPECT_FALSE(ReadEntryState(dir / "missing", &gone).ok());

  WriteFileAttributes(dir / "readonly.txt", kFileAttributeNormal);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace zem::platform

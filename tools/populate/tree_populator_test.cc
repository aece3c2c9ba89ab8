// The walk's failure paths and bounds, with a scripted lister (no service;
// each case fails or stops before a batch, or has nothing to create).
#include "tools/populate/tree_populator.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "common/output.h"

namespace zem::populate {
namespace {
namespace fs = std::filesystem;

class TreePopulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("zem-populate-" + std::to_string(std::random_device{}()));
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  // A lister answering from `folders_` (missing id: the listing fails) and
  // recording the ids asked for.
  ListFn Lister() {
    return [this](const std::string& id, std::vector<FolderEntry>& folders,
                  std::vector<FileEntry>&) {
      asked_.push_back(id);
      auto it = folders_.find(id);
      if (it == folders_.end()) return false;
      folders = it->second;
      return true;
    };
  }
  // A placeholder platform that accepts every item (the walk's bounds do not
  // depend on one, and Wine has none).
  static CreateFn AcceptAll() {
    return [](const fs::path&, std::vector<platform::PlaceholderItem>& items) {
      for (auto& item : items) item.result = platform::Status();
      return platform::Status();
    };
  }
  fs::path root_;
  std::map<std::string, std::vector<FolderEntry>> folders_;
  std::vector<std::string> asked_;
};

TEST_F(TreePopulatorTest, ListingFailurePrintsTheIdAndCreatesNothing) {
  ScopedOutputCapture capture;
  TreePopulator walker(Lister());
  EXPECT_FALSE(walker.PopulateFolder(root_, "d-42\n"));
  // The id is shown without its line break, so the log keeps one line.
  EXPECT_EQ(capture.err(), "[ERR] folder/list HTTP failed for id=d-42\\x0A\n");
  EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(TreePopulatorTest, NamesThatWouldLeaveTheFolderAreSkippedAndNotWalked) {
  folders_["0"] = {FolderEntry{"7", u".."}, FolderEntry{"8", u"a/b"}};
  ScopedOutputCapture capture;
  TreePopulator walker(Lister());
  EXPECT_TRUE(walker.PopulateFolder(root_ / "inner", "0"));
  EXPECT_EQ(capture.out(), "  [inner] created=0 skipped=2 (folders=2 files=0)\n");
  EXPECT_EQ(asked_, std::vector<std::string>{"0"});
  EXPECT_FALSE(fs::exists(root_ / "a"));
  EXPECT_EQ(walker.skipped(), 2);
}

TEST_F(TreePopulatorTest, CyclesAndEndlessNestingAreStoppedAsFailures) {
  {
    // "0" lists "a", which lists "0" again: the walk does not go round.
    folders_["0"] = {FolderEntry{"a", u"A"}};
    folders_["a"] = {FolderEntry{"0", u"back"}};
    ScopedOutputCapture capture;
    TreePopulator walker(Lister(), AcceptAll());
    EXPECT_FALSE(walker.PopulateFolder(root_, "0"));
    EXPECT_EQ(asked_, (std::vector<std::string>{"0", "a"}));
    EXPECT_NE(capture.err().find("[ERR] folder id=0 is listed inside itself (a cycle); not descended\n"),
              std::string::npos)
        << capture.err();
  }
  {
    // Every folder holds a new one: the walk ends at the depth cap.
    asked_.clear();
    int made = 0;
    TreePopulator walker([&](const std::string& id, std::vector<FolderEntry>& folders,
                             std::vector<FileEntry>&) {
      asked_.push_back(id);
      folders.push_back(FolderEntry{"n" + std::to_string(++made), u"n"});
      return true;
    }, AcceptAll());
    ScopedOutputCapture capture;
    EXPECT_FALSE(walker.PopulateFolder(root_ / "deep", "0"));
    EXPECT_EQ(asked_.size(), static_cast<size_t>(kMaxDepth));
    EXPECT_NE(capture.err().find("lies deeper than 128 levels; not descended\n"), std::string::npos);
  }
  {
    // The same id twice as siblings is not a cycle: both are walked.
    asked_.clear();
    folders_.clear();
    folders_["0"] = {FolderEntry{"s", u"one"}, FolderEntry{"s", u"two"}};
    folders_["s"] = {};
    ScopedOutputCapture capture;
    TreePopulator walker(Lister(), AcceptAll());
    EXPECT_TRUE(walker.PopulateFolder(root_ / "siblings", "0"));
    EXPECT_EQ(asked_, (std::vector<std::string>{"0", "s", "s"}));
  }
}

}  // namespace
}  // namespace zem::populate

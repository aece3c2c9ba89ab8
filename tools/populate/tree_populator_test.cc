// The walk's failure paths, with a scripted lister (no service, no
// placeholder platform needed: each case fails or stops before a batch).
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
  // A lister answering from `answers` (missing id: the exchange fails) and
  // recording the ids asked for.
  ListFn Lister() {
    return [this](const std::string& id, std::string& answer) {
      asked_.push_back(id);
      auto it = answers_.find(id);
      if (it == answers_.end()) return false;
      answer = it->second;
      return true;
    };
  }

  fs::path root_;
  std::map<std::string, std::string> answers_;
  std::vector<std::string> asked_;
};

TEST_F(TreePopulatorTest, SizeBeyondSignedRangeFailsTheFolderWithoutCreatingAnything) {
  answers_["0"] = R"({"success":true,"folders":[{"id":"9","name":"sub"}],)"
                  R"("files":[{"id":"1","name":"big","size":99999999999999999999}]})";
  ScopedOutputCapture capture;
  TreePopulator walker(Lister());
  EXPECT_FALSE(walker.PopulateFolder(root_, "0"));
  EXPECT_EQ(capture.err(), "[ERR] folder/list size out of range for id=0\n");
  EXPECT_EQ(capture.out(), "");
  EXPECT_TRUE(fs::is_empty(root_));
  EXPECT_EQ(asked_, std::vector<std::string>{"0"});  // not descended
}

TEST_F(TreePopulatorTest, ListingFailurePrintsTheIdAndCreatesNothing) {
  ScopedOutputCapture capture;
  TreePopulator walker(Lister());
  EXPECT_FALSE(walker.PopulateFolder(root_, "d-42"));
  EXPECT_EQ(capture.err(), "[ERR] folder/list HTTP failed for id=d-42\n");
  EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(TreePopulatorTest, EmptyOrErrorAnswersCountAsEmptyFoldersWithoutALine) {
  answers_["0"] = R"({"success":false,"message":"injected"})";  // no status or success test
  ScopedOutputCapture capture;
  TreePopulator walker(Lister());
  EXPECT_TRUE(walker.PopulateFolder(root_, "0"));
  EXPECT_EQ(capture.all(), "");
}

TEST_F(TreePopulatorTest, NamesThatWouldLeaveTheFolderAreSkippedAndNotWalked) {
  answers_["0"] = R"({"folders":[{"id":"7","name":".."},{"id":"8","name":"a/b"}],"files":[]})";
  ScopedOutputCapture capture;
  TreePopulator walker(Lister());
  EXPECT_TRUE(walker.PopulateFolder(root_ / "inner", "0"));
  EXPECT_EQ(capture.out(), "  [inner] created=0 skipped=2 (folders=2 files=0)\n");
  EXPECT_EQ(asked_, std::vector<std::string>{"0"});
  EXPECT_FALSE(fs::exists(root_ / "a"));
  EXPECT_EQ(walker.skipped(), 2);
}

}  // namespace
}  // namespace zem::populate

#include "tests/soak/soak_checker.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace zem::soak {
namespace {

using testing::Tree;
using testing::TreeFile;

bool Has(const std::vector<std::string>& lines, const std::string& prefix, const std::string& part) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.rfind(prefix, 0) == 0 && l.find(part) != std::string::npos;
  });
}

LocalItem File(const std::string& path, const std::string& identity, bool in_sync, int64_t size,
               const std::string& sha) {
  LocalItem i;
  i.path = path;
  i.is_placeholder = !identity.empty();
  i.in_sync = in_sync;
  i.hydrated = !sha.empty();
  i.identity = identity;
  i.logical_size = size;
  i.sha256 = sha;
  return i;
}

LocalItem Dir(const std::string& path, const std::string& identity) {
  LocalItem i;
  i.path = path;
  i.is_dir = true;
  i.is_placeholder = !identity.empty();
  i.in_sync = i.is_placeholder;
  i.identity = identity;
  return i;
}

// A service with folder A (id 5) and B (id 6, inside A), and a user who wrote,
// replaced and deleted; every lawful difference is an observation only.
class CheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.folders = {{"5", "0", "A"}, {"6", "5", "B"}};
    tree_.files = {
        {"10", "0", "kept.txt", 3, "s-kept", 1},        // the user's, in sync
        {"11", "5", "old.txt", 4, "s-old", 2},          // the user replaced it: recycled
        {"12", "6", "web.txt", 5, "s-web", 1},          // the web's, not hydrated
        {"13", "0", "gone.txt", 6, "s-gone", 2},        // the web recycled it
        {"14", "5", "new.txt", 7, "s-new", 1},          // the replacement of old.txt
    };
    model_.UserWrote("s-kept", "create kept.txt");
    model_.UserWrote("s-old", "create A/old.txt");
    model_.UserWrote("s-new", "write A/new.txt", "s-old");
    model_.UserWrote("s-local", "create A/B/mine.txt");
    model_.UserWrote("s-gone", "create gone.txt");
    model_.known.insert("s-web");
    model_.web_recycled.insert("13");
    local_ = {Dir("A", "D:5"),
              Dir("A/B", "D:6"),
              Dir("A/mine", ""),
              File("kept.txt", "F:10", true, 3, "s-kept"),
              File("A/new.txt", "F:14", true, 7, "s-new"),
              File("A/B/web.txt", "F:12", true, 5, ""),
              File("A/B/mine (冲突副本).txt", "", false, 7, "s-local")};
  }

  Tree tree_;
  SoakModel model_;
  std::vector<LocalItem> local_;
};

TEST_F(CheckerTest, LawfulStateHasNoFindings) {
  const CheckResult r = Check(model_, tree_, local_);
  EXPECT_TRUE(r.findings.empty()) << r.findings.front();
  EXPECT_EQ(r.lawful_recycles, 1);
  EXPECT_TRUE(Has(r.observations, "[CONFLICT-COPY]", "A/B/mine (冲突副本).txt"));
  EXPECT_TRUE(Has(r.observations, "[PLAIN-DIR]", "A/mine"));

  // A local file the service does not list: waiting in a service folder,
  // or kept in the user's own folder.
  local_.push_back(File("A/wait.txt", "", false, 4, "s-wait"));
  local_.push_back(File("A/mine/own.txt", "", false, 4, "s-own"));
  model_.UserWrote("s-wait", "create A/wait.txt");
  model_.UserWrote("s-own", "create A/mine/own.txt");
  const CheckResult waiting = Check(model_, tree_, local_);
  EXPECT_TRUE(waiting.findings.empty()) << waiting.findings.front();
  EXPECT_TRUE(Has(waiting.observations, "[NOT-UPLOADED]", "A/wait.txt"));
  EXPECT_TRUE(Has(waiting.observations, "[LOCAL-ONLY]", "A/mine/own.txt"));
  local_.resize(local_.size() - 2);
  model_.UserDeleted("s-wait");
  model_.UserDeleted("s-own");

  // A local edit waiting for its upload, and a file recycled while its bytes
  // stay live under another id (a move), are observations too.
  local_[3] = File("kept.txt", "F:10", false, 9, "s-edit");
  model_.UserWrote("s-edit", "append kept.txt", "s-kept");
  tree_.files.push_back({"15", "0", "dup.txt", 7, "s-new", 2});
  const CheckResult pending = Check(model_, tree_, local_);
  EXPECT_TRUE(pending.findings.empty()) << pending.findings.front();
  EXPECT_TRUE(Has(pending.observations, "[PENDING]", "kept.txt"));
  EXPECT_TRUE(Has(pending.observations, "[RECYCLED-KEPT]", "15"));

  // Moved (uploaded there, recycled here), and the web recycled the copy.
  tree_.files.push_back({"16", "0", "moved.txt", 3, "s-web-gone", 2});
  tree_.files.push_back({"17", "5", "moved.txt", 3, "s-web-gone", 2});
  model_.web_recycled.insert("17");
  const CheckResult moved = Check(model_, tree_, local_);
  EXPECT_TRUE(moved.findings.empty()) << moved.findings.front();
  EXPECT_TRUE(Has(moved.observations, "[RECYCLED-KEPT]", "16"));
  tree_.files.pop_back();  // without the web's copy the agent's recycle lost it
  EXPECT_TRUE(Has(Check(model_, tree_, local_).findings, "[RECYCLED]", "file 16"));
}

TEST_F(CheckerTest, EachBrokenPromiseIsAFinding) {
  // The user's local-only file vanished, and the agent recycled a file the
  // user never touched: both bytes lost and an unlawful recycle.
  local_.pop_back();
  tree_.files[0].status = 2;
  local_[3].in_sync = false;  // not in sync: only the recycle and the loss are wrong
  CheckResult r = Check(model_, tree_, local_);
  EXPECT_TRUE(Has(r.findings, "[LOST]", "create A/B/mine.txt")) << ::testing::PrintToString(r.findings);
  EXPECT_TRUE(Has(r.findings, "[RECYCLED]", "file 10 (kept.txt"));
  EXPECT_FALSE(Has(r.findings, "[LOST]", "kept.txt"));  // still in the folder
  EXPECT_EQ(r.findings.size(), 2u) << ::testing::PrintToString(r.findings);

  // In-sync placeholders that do not mirror the service: moved there but not
  // here, other size, other content, a service file with no counterpart.
  SetUp();
  tree_.files[2].folder_id = "5";                  // web.txt moved to A on the service
  local_[4].logical_size = 8;                       // new.txt shows another size
  local_[3].sha256 = "s-kept-other";                // kept.txt holds other bytes
  model_.known.insert("s-kept-other");
  r = Check(model_, tree_, local_);
  EXPECT_TRUE(Has(r.findings, "[STALE]", "A/B/web.txt is in sync with file 12, which the service holds at A/web.txt"));
  EXPECT_TRUE(Has(r.findings, "[MISSING]", "(A/web.txt)"));
  EXPECT_TRUE(Has(r.findings, "[STALE]", "A/new.txt shows 8 bytes"));
  EXPECT_TRUE(Has(r.findings, "[STALE]", "kept.txt holds content"));

  // Bytes nobody wrote, a recycled file still shown in sync, a missing folder.
  SetUp();
  local_[6].sha256 = "s-garbage";
  tree_.files[2].status = 2;
  local_.erase(local_.begin());  // folder A is gone locally
  r = Check(model_, tree_, local_);
  EXPECT_TRUE(Has(r.findings, "[CORRUPT]", "mine (冲突副本).txt"));
  EXPECT_TRUE(Has(r.findings, "[STALE]", "file 12, which the service holds in the recycle bin"));
  EXPECT_TRUE(Has(r.findings, "[RECYCLED]", "file 12"));
  EXPECT_TRUE(Has(r.findings, "[MISSING-DIR]", "(A)"));
  EXPECT_TRUE(Has(r.findings, "[LOST]", "create A/B/mine.txt"));
}

TEST(SoakModelTest, ReplacingAndDeletingMoveContentOutOfWhatMustSurvive) {
  SoakModel m;
  m.UserWrote("a", "create");
  m.UserWrote("b", "append", "a");
  EXPECT_EQ(m.required.count("a"), 0u);
  EXPECT_EQ(m.superseded.count("a"), 1u);
  m.UserWrote("a", "write back", "b");  // the old bytes again: required once more
  EXPECT_EQ(m.required.count("a"), 1u);
  EXPECT_EQ(m.superseded.count("a"), 0u);
  m.UserDeleted("a");
  EXPECT_TRUE(m.required.empty());
  EXPECT_EQ(m.superseded, (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(FolderPaths({{{"5", "0", "A"}, {"6", "5", "B"}, {"7", "9", "orphan"}}, {}}),
            (std::map<std::string, std::string>{{"0", ""}, {"5", "A"}, {"6", "A/B"}}));
  EXPECT_TRUE(IsConflictCopyName("A/x (冲突副本 2).txt"));
  EXPECT_FALSE(IsConflictCopyName("A/x.txt"));
}

}  // namespace
}  // namespace zem::soak

#include "sync/placeholders.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "common/output.h"
#include "platform/file_attributes.h"
#include "platform/known_folders.h"
#include "platform/text.h"
#include "sync/identity.h"
#include "sync/placeholder_provider.h"
#include "tests/support/memory_provider.h"
#include "tests/support/scripted_service.h"
#include "tests/support/test_hooks.h"

namespace zem {
namespace {
namespace fs = std::filesystem;

// The placeholder helpers over the in-memory provider.
class PlaceholderHelpers : public ::testing::Test {
 protected:
  PlaceholderHelpers()
      : root_(platform::TempFolder() / ("zem-ph-" + std::to_string(std::random_device{}()))) {
    fs::create_directories(root_);
  }
  ~PlaceholderHelpers() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  platform::PlaceholderState StateOf(const fs::path& p) {
    return provider_.StateOf(p).value_or(platform::PlaceholderState{});
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path root_;
  zem::testing::ScriptedService service_;
  zem::testing::MemoryProvider provider_;
  ScopedEngineSeamsForTest seams_{service_, provider_};
};

TEST_F(PlaceholderHelpers, PendingFilesAndUploadedFilesTakeTheirIdentities) {
  ScopedOutputCapture out;
  const auto doc = root_ / "new.docx";
  { std::ofstream(doc) << "draft"; }
  // Pending: the same path always gives the same identity, not in sync.
  ASSERT_TRUE(MarkPendingPlaceholder(doc));
  auto s = StateOf(doc);
  EXPECT_EQ(s.identity, PendingIdentity(doc));
  EXPECT_FALSE(s.in_sync);
  EXPECT_TRUE(MarkPendingPlaceholder(doc));  // a placeholder already: unchanged
  EXPECT_EQ(StateOf(doc).identity, PendingIdentity(doc));
  EXPECT_FALSE(MarkPendingPlaceholder(root_ / "missing.docx"));
  // After the upload the pending placeholder becomes the file's.
  ASSERT_TRUE(ConvertToFilePlaceholder(doc, "77"));
  s = StateOf(doc);
  EXPECT_EQ(s.identity, "F:77");
  EXPECT_TRUE(s.in_sync);
  EXPECT_EQ(Read(doc), "draft");
  // A plain file converts directly.
  { std::ofstream(root_ / "plain.txt") << "p"; }
  ASSERT_TRUE(ConvertToFilePlaceholder(root_ / "plain.txt", "78"));
  EXPECT_EQ(StateOf(root_ / "plain.txt").identity, "F:78");
  EXPECT_EQ(out.err(), "");

  ASSERT_FALSE(ConvertToFilePlaceholder(root_ / "gone.txt", "1"));
  EXPECT_EQ(out.err(), "[CONVERT-ERR] CreateFile failed for " +
                           platform::PathToUtf8(root_ / "gone.txt") + " err=2\n");
}

// Folders that lost their in-sync state when a child changed are marked
// again, from the changed folder up to the sync root; plain folders and
// folders in sync already are left as they are.
TEST_F(PlaceholderHelpers, FoldersAboveADealtWithChangeAreMarkedInSyncAgain) {
  auto add_folder = [&](const fs::path& base, const std::string& name,
                        const std::string& identity) {
    std::vector<platform::PlaceholderItem> items(1);
    items[0].relative_name = platform::PathFromUtf8(name);
    items[0].attributes = platform::kFileAttributeDirectory;
    items[0].identity = identity;
    items[0].mark_in_sync = false;  // as after a child changed
    ASSERT_TRUE(Placeholders().CreatePlaceholders(base, items).ok());
  };
  const fs::path docs = root_ / platform::PathFromUtf8("我的文档");
  add_folder(root_, "我的文档", "V:我的文档");
  add_folder(docs, "a", "D:1");
  add_folder(docs / "a", "b", "D:2");
  add_folder(docs, "c", "D:3");
  fs::create_directories(docs / "a" / "b" / "plain");
  // A plain folder is no folder of the service: nothing is marked from it.
  EXPECT_EQ(MarkFoldersInSync(docs / "a" / "b" / "plain"), 0);
  EXPECT_FALSE(StateOf(docs / "a" / "b").in_sync);
  // One folder only.
  EXPECT_TRUE(MarkFolderInSync(docs / "c"));
  EXPECT_FALSE(MarkFolderInSync(docs / "c"));  // in sync already
  EXPECT_FALSE(StateOf(docs).in_sync);
  // From a changed folder up to the sync root, which is not marked.
  EXPECT_EQ(MarkFoldersInSync(docs / "a" / "b"), 3);
  EXPECT_TRUE(StateOf(docs / "a" / "b").in_sync);
  EXPECT_TRUE(StateOf(docs / "a").in_sync);
  EXPECT_TRUE(StateOf(docs).in_sync);
  EXPECT_FALSE(StateOf(root_).is_placeholder);
  EXPECT_EQ(MarkFoldersInSync(docs / "a" / "b"), 0);
  EXPECT_EQ(MarkFoldersInSync(root_ / "missing"), 0);
}

}  // namespace
}  // namespace zem

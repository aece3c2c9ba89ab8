// The storage layer in-process: blob writer pipeline, metadata rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "service/blob_store.h"
#include "service/metadata_store.h"
#include "service/service.h"
#include "service/sha256.h"

namespace zem::zemd {
namespace {

namespace fs = std::filesystem;

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zemd-storage-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    std::string error;
    ASSERT_TRUE(service_.Open(dir_, IdStyle::kNumeric, &error)) << error;
    user_ = *service_.meta().CreateUser("u", kDefaultQuotaTotal);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  Service service_;
  std::string user_;
};

TEST_F(StorageTest, BlobWriterHashesAndStoresAcrossManyBuffersInOrder) {
  // Enough to pass through every pipeline buffer several times, appended in
  // odd-sized pieces.
  std::string content;
  for (uint32_t i = 0; i < 9 * 1024 * 1024 + 123; ++i) content += static_cast<char>(i * 131u >> 5);
  BlobWriter writer(service_.blobs());
  for (size_t off = 0; off < content.size(); off += 4093) {
    ASSERT_TRUE(writer.Append(content.data() + off, std::min<size_t>(4093, content.size() - off)));
  }
  ASSERT_TRUE(writer.Commit()) << writer.error();
  EXPECT_EQ(writer.size(), content.size());
  EXPECT_EQ(writer.sha256(), Sha256Hex(content));
  std::ifstream in(service_.blobs().PathOf(writer.sha256()), std::ios::binary);
  std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(stored == content);
  EXPECT_TRUE(fs::is_empty(service_.blobs().tmp_dir()));
}

TEST_F(StorageTest, AnAbandonedWriterLeavesNothingBehind) {
  {
    BlobWriter writer(service_.blobs());
    std::string piece(3 * 1024 * 1024, 'a');
    writer.Append(piece.data(), piece.size());
  }
  EXPECT_TRUE(fs::is_empty(service_.blobs().tmp_dir()));
  EXPECT_TRUE(fs::is_empty(dir_ / "blobs"));
}

TEST_F(StorageTest, PurgingRemovesOnlyBlobsNobodyUses) {
  FileRow a, b, c;
  std::string error;
  std::string dir_id;
  ASSERT_EQ(service_.meta().CreateFolder(user_, "0", "d", &dir_id), Outcome::kOk);
  ASSERT_EQ(service_.AddBytes(user_, "0", "a", "same", &a, &error), Outcome::kOk);
  ASSERT_EQ(service_.AddBytes(user_, dir_id, "b", "same", &b, &error), Outcome::kOk);
  ASSERT_EQ(service_.AddBytes(user_, dir_id, "c", "other", &c, &error), Outcome::kOk);
  ASSERT_EQ(service_.Delete(dir_id), Outcome::kOk);
  EXPECT_TRUE(service_.blobs().Exists(a.sha256));    // still used by a
  EXPECT_FALSE(service_.blobs().Exists(c.sha256));   // only c used it
  EXPECT_FALSE(service_.meta().File(b.id).has_value());
  EXPECT_EQ(service_.Delete(dir_id), Outcome::kNotFound);
}

TEST_F(StorageTest, FoldersCannotMoveBelowThemselves) {
  std::string top, mid, low;
  ASSERT_EQ(service_.meta().CreateFolder(user_, "0", "top", &top), Outcome::kOk);
  ASSERT_EQ(service_.meta().CreateFolder(user_, top, "mid", &mid), Outcome::kOk);
  ASSERT_EQ(service_.meta().CreateFolder(user_, mid, "low", &low), Outcome::kOk);
  EXPECT_NE(service_.meta().AdminMove(top, low), Outcome::kOk);
  EXPECT_NE(service_.meta().AdminMove(top, top), Outcome::kOk);
  EXPECT_EQ(service_.meta().AdminMove(low, "0"), Outcome::kOk);
  EXPECT_EQ(service_.meta().FolderOwner(low), user_);
}

TEST_F(StorageTest, NamesAreCheckedAndFolderNamesAreUnique) {
  std::string id;
  EXPECT_EQ(service_.meta().CreateFolder(user_, "0", "", &id), Outcome::kBadName);
  EXPECT_EQ(service_.meta().CreateFolder(user_, "0", "..", &id), Outcome::kBadName);
  EXPECT_EQ(service_.meta().CreateFolder(user_, "0", "a/b", &id), Outcome::kBadName);
  ASSERT_EQ(service_.meta().CreateFolder(user_, "0", "x", &id), Outcome::kOk);
  std::string again;
  EXPECT_EQ(service_.meta().CreateFolder(user_, "0", "x", &again), Outcome::kNameClash);
  EXPECT_EQ(service_.meta().CreateFolder(user_, "missing", "y", &again), Outcome::kNotFound);
}

TEST_F(StorageTest, OpaqueIdsAreTextAndUnique) {
  fs::path other = dir_ / "opaque";
  MetadataStore meta;
  std::string error;
  ASSERT_TRUE(meta.Open(other.string() + ".db", IdStyle::kOpaque, &error)) << error;
  std::string u = *meta.CreateUser("o", 1000);
  std::set<std::string> ids;
  for (int i = 0; i < 50; ++i) {
    std::string id;
    ASSERT_EQ(meta.CreateFile(u, "0", "f", 1, "00", &id), Outcome::kOk);
    EXPECT_EQ(id.rfind("f-", 0), 0u) << id;
    EXPECT_EQ(id.size(), 14u);
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 50u);
}

}  // namespace
}  // namespace zem::zemd

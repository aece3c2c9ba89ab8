// The scanning half of the listing operations, on answers as text.
#include <gtest/gtest.h>

#include <stdexcept>

#include "client/listing.h"

namespace zem {
namespace {

TEST(ScanListing, FillsEntriesInAnswerOrder) {
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  ScanListing(R"({"success":true,
    "folders":[{"id":"12","name":"文档"},{"id":"13","name":"b"}],
    "files":[{"id":"f1","name":"报告 1.txt","size":42,"sha256":"ABCdef01"},
             {"id":"f2","name":"q","size":"42"},
             {"name":"no id","id":7},
             {"id":"f3","name":"big","size":9223372036854775807}]})",
              folders, files);
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders[0].id, "12");
  EXPECT_EQ(folders[0].name, u"文档");
  EXPECT_EQ(folders[1].id, "13");
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].name, u"报告 1.txt");
  EXPECT_EQ(files[0].size, 42);
  EXPECT_EQ(files[0].sha256, "ABCdef01");
  EXPECT_EQ(files[1].size, 42);   // quoted number
  EXPECT_EQ(files[1].sha256, "");  // absent
  EXPECT_EQ(files[2].id, "f3");
  EXPECT_EQ(files[2].size, INT64_MAX);
}

TEST(ScanListing, FollowsTheScanningRulesOnOddAnswers) {
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  // folders: null lists no folders; the files are files only.
  ScanListing(R"({"folders":null,"files":[{"id":"9","name":"x","size":1}]})", folders, files);
  EXPECT_TRUE(folders.empty());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].id, "9");

  files.clear();
  // A nested object with its own id before the outer one: the nested id wins
  // (first match in text order). Braces and brackets in names are kept.
  ScanListing(R"({"folders":[{"owner":{"id":"u1"},"id":"d1","name":"n"},
                             {"id":"d2","name":"a}b"},{"id":"d3","name":"[ok"}]})",
              folders, files);
  ASSERT_EQ(folders.size(), 3u);
  EXPECT_EQ(folders[0].id, "u1");
  EXPECT_EQ(folders[1].id, "d2");
  EXPECT_EQ(folders[1].name, u"a}b");
  EXPECT_EQ(folders[2].name, u"[ok");
  EXPECT_TRUE(files.empty());

  folders.clear();
  // Escapes are decoded; invalid UTF-8 becomes U+FFFD; an id that is a
  // number is skipped.
  ScanListing("{\"folders\":[{\"id\":\"1\",\"name\":\"a\\n\xff\"},{\"id\":2,\"name\":\"x\"},"
              "{\"id\":\"3\",\"name\":\"say \\\"hi\\\".txt\"},{\"id\":\"4\",\"name\":\"\\u62a5\\u544a\"}]}",
              folders, files);
  ASSERT_EQ(folders.size(), 3u);
  EXPECT_EQ(folders[0].name, u"a\n\uFFFD");
  EXPECT_EQ(folders[1].name, u"say \"hi\".txt");
  EXPECT_EQ(folders[2].name, u"报告");
}

TEST(ScanListing, SizesThatAreNotByteCountsSkipTheirEntry) {
  std::vector<FileEntry> files;
  std::vector<std::string> skipped;
  ScanFileEntries(R"({"id":"a","name":"a","size":1e30},{"id":"b","name":"b","size":-5},)"
                  R"({"id":"c","name":"c","size":"abc"},{"id":"d","name":"d","size":4.5},)"
                  R"({"id":"e","name":"e","size":9223372036854775808},)"
                  R"({"id":"f","name":"f","size":null},{"id":"g","name":"g","size":"12"},)"
                  R"({"id":"h","name":"h"},{"id":"i","name":"i","size" : 0 })",
                  files, &skipped);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].id, "g");
  EXPECT_EQ(files[0].size, 12);
  EXPECT_EQ(files[1].id, "h");  // no size: 0
  EXPECT_EQ(files[1].size, 0);
  EXPECT_EQ(files[2].id, "i");
  EXPECT_EQ(skipped, (std::vector<std::string>{
                         "entry id=a skipped: size 1e30 is not a non-negative integer",
                         "entry id=b skipped: size -5 is not a non-negative integer",
                         "entry id=c skipped: size \"abc\" is not a non-negative integer",
                         "entry id=d skipped: size 4.5 is not a non-negative integer",
                         "entry id=e skipped: size 9223372036854775808 is not a non-negative integer",
                         "entry id=f skipped: size null is not a non-negative integer"}));
  // Without a list for the reasons the entries are still left out.
  files.clear();
  ScanFileEntries(R"({"id":"1","name":"a","size":1e30})", files);
  EXPECT_TRUE(files.empty());
}

TEST(ScanQuota, TakesFirstMatchesAndKeepsMissingFields) {
  QuotaInfo q;
  q.folder_count = 5;
  ScanQuota(R"({"used":"100","total":10737418240,"file_count":3,"x":{"used":7}})", q);
  EXPECT_EQ(q.used, 100);
  EXPECT_EQ(q.total, 10737418240);
  EXPECT_EQ(q.file_count, 3);
  EXPECT_EQ(q.folder_count, 5);
  QuotaInfo r;
  EXPECT_THROW(ScanQuota(R"({"file_count":2147483648})", r), std::out_of_range);
  EXPECT_EQ(r.file_count, 0);
}

}  // namespace
}  // namespace zem

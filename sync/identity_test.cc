#include "sync/identity.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace zem {
namespace {

TEST(Identity, FormsAreKindLetterColonValue) {
  EXPECT_EQ(FileIdentity("abc"), "F:abc");
  EXPECT_EQ(FolderIdentity("0"), "D:0");
  EXPECT_EQ(VirtualRootIdentity("我的文档"), "V:我的文档");
  EXPECT_EQ(SharedIdentity("s1"), "S:s1");
  EXPECT_EQ(RecycledIdentity("r1"), "R:r1");
}

// Values computed independently over the UTF-16LE bytes.
TEST(Identity, PendingHashIsFnv1aOverUtf16LittleEndian) {
  EXPECT_EQ(PendingPathHash(u""), 14695981039346656037ull);
  EXPECT_EQ(PendingPathHash(u"a"), 620337896427418084ull);
  EXPECT_EQ(PendingPathHash(u"C:\\Users\\u\\ZEM云盘\\我的文档\\a.txt"), 15135980802077630869ull);
  EXPECT_EQ(PendingPathHash(u"\U0001F600"), 17553360157299443082ull);  // a surrogate pair
}

TEST(Identity, PendingIdentityIsStablePerPathAndCaseSensitive) {
  const auto p = platform::PathFromUtf8("/home/u/ZEM云盘/我的文档/报告.docx");
  EXPECT_EQ(PendingIdentity(p), "P:2370987700602771702");
  EXPECT_EQ(PendingIdentity(p), PendingIdentity(platform::PathFromUtf8("/home/u/ZEM云盘/我的文档/报告.docx")));
  EXPECT_NE(PendingIdentity(platform::PathFromUtf8("/home/u/ZEM云盘/我的文档/A.txt")),
            PendingIdentity(platform::PathFromUtf8("/home/u/ZEM云盘/我的文档/a.txt")));
}

TEST(Identity, ServerIdDropsAKindPrefixOnly) {
  EXPECT_EQ(ServerIdFromIdentity("F:abc"), "abc");
  EXPECT_EQ(ServerIdFromIdentity("abc"), "abc");
  EXPECT_EQ(ServerIdFromIdentity("F"), "F");
  EXPECT_EQ(ServerIdFromIdentity("F:"), "");
  EXPECT_EQ(ServerIdFromIdentity("ab:c"), "ab:c");
  EXPECT_EQ(ServerIdFromIdentity(""), "");
}

}  // namespace
}  // namespace zem

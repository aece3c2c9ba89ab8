#include "tools/populate/name_dedup.h"

#include <gtest/gtest.h>

#include "tools/populate/tree_populator.h"

namespace zem::populate {
namespace {

std::vector<std::u16string> Names(const std::vector<FolderEntry>& folders,
                                  const std::vector<FileEntry>& files) {
  std::vector<std::u16string> out;
  for (const auto& f : folders) out.push_back(f.name);
  for (const auto& f : files) out.push_back(f.name);
  return out;
}

FileEntry File(std::u16string name) { return FileEntry{"1", std::move(name), 0, ""}; }
FolderEntry Folder(std::u16string name) { return FolderEntry{"1", std::move(name)}; }

TEST(NumberedNameTest, ExtensionRules) {
  EXPECT_EQ(NumberedName(u"a.txt", 2), u"a (2).txt");
  EXPECT_EQ(NumberedName(u"a.tar.gz", 3), u"a.tar (3).gz");
  EXPECT_EQ(NumberedName(u"x", 2), u"x (2)");
  EXPECT_EQ(NumberedName(u".profile", 2), u".profile (2)");  // leading dot only: no extension
  EXPECT_EQ(NumberedName(u".a.txt", 2), u".a (2).txt");
  EXPECT_EQ(NumberedName(u"name.", 2), u"name (2).");
  EXPECT_EQ(NumberedName(u".", 2), u". (2)");
  EXPECT_EQ(NumberedName(u"..", 2), u".. (2)");
  EXPECT_EQ(NumberedName(u"报告.docx", 12), u"报告 (12).docx");
}

TEST(DeduplicateNamesTest, RepeatedFilesAreNumberedInListingOrder) {
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files = {File(u"a.txt"), File(u"b.txt"), File(u"a.txt"), File(u"a.txt"),
                                  File(u".profile"), File(u".profile")};
  DeduplicateNames(folders, files);
  EXPECT_EQ(Names(folders, files),
            (std::vector<std::u16string>{u"a.txt", u"b.txt", u"a (2).txt", u"a (3).txt",
                                         u".profile", u".profile (2)"}));
}

TEST(DeduplicateNamesTest, FoldersClaimNamesBeforeFiles) {
  std::vector<FolderEntry> folders = {Folder(u"x"), Folder(u"x")};
  std::vector<FileEntry> files = {File(u"x")};
  DeduplicateNames(folders, files);
  EXPECT_EQ(Names(folders, files), (std::vector<std::u16string>{u"x", u"x (2)", u"x (3)"}));
}

TEST(DeduplicateNamesTest, ComparisonIsExactAndNumberedNamesSkipListedOnes) {
  std::vector<FolderEntry> folders;
  // "A.txt" differs from "a.txt"; the listed "a (2).txt" keeps its name, so
  // the second "a.txt" takes the next free one, and so does the third.
  std::vector<FileEntry> files = {File(u"a.txt"), File(u"A.txt"), File(u"a.txt"),
                                  File(u"a (2).txt"), File(u"a.txt")};
  DeduplicateNames(folders, files);
  EXPECT_EQ(Names(folders, files),
            (std::vector<std::u16string>{u"a.txt", u"A.txt", u"a (3).txt", u"a (2).txt",
                                         u"a (4).txt"}));
  // A name given by a rename is taken too: "x (2)" listed twice and "x"
  // twice never end up with the same name.
  folders = {Folder(u"x (2)"), Folder(u"x"), Folder(u"x"), Folder(u"x (2)")};
  files.clear();
  DeduplicateNames(folders, files);
  EXPECT_EQ(Names(folders, files),
            (std::vector<std::u16string>{u"x (2)", u"x", u"x (3)", u"x (2) (2)"}));
}

TEST(TreePopulatorHelpersTest, UnusableNames) {
  EXPECT_TRUE(IsUsableLocalName(u"a b.txt"));
  EXPECT_TRUE(IsUsableLocalName(u"...."));
  EXPECT_FALSE(IsUsableLocalName(u""));
  EXPECT_FALSE(IsUsableLocalName(u"."));
  EXPECT_FALSE(IsUsableLocalName(u".."));
  EXPECT_FALSE(IsUsableLocalName(u"../etc"));
  EXPECT_FALSE(IsUsableLocalName(u"a\\b"));
  EXPECT_FALSE(IsUsableLocalName(std::u16string(u"a\0b", 3)));
}

}  // namespace
}  // namespace zem::populate

#include "platform/text.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace zem::platform {
namespace {

TEST(Text, RoundTripsChineseAndAstralCharacters) {
  const std::string utf8 = "ZEM云盘 报告 1.txt \xF0\x9F\x98\x80";
  const std::u16string wide = Utf8ToWide(utf8);
  EXPECT_EQ(wide, u"ZEM云盘 报告 1.txt \U0001F600");
  EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(Text, InvalidSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(Utf8ToWide("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(Utf8ToWide("\xE6\x8A"), u"\uFFFD");          // truncated at the end
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");    // overlong form
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(WideToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToWide(""), u"");
  EXPECT_EQ(WideToUtf8(u""), "");
}

TEST(Text, WidenAsciiMapsEachByteToOneUnit) {
  EXPECT_EQ(WidenAscii("abc\x80"), std::u16string(u"abc\u0080"));
}

TEST(Text, PathsKeepUtf8Names) {
  const auto p = PathFromUtf8("dir/ZEM云盘/报告.txt");
  EXPECT_EQ(PathToUtf8(p.filename()), "报告.txt");
  EXPECT_EQ(PathToUtf8(p), "dir/ZEM云盘/报告.txt");
}

// A name no conversion can represent exactly: an unpaired surrogate on
// Windows, bytes that are not UTF-8 on Linux.
template <typename Native>
Native OddName() {
  if constexpr (sizeof(typename Native::value_type) == 1) {
    return Native("a\xFF" "b");
  } else {
    return Native{u'a', static_cast<typename Native::value_type>(0xD800), u'b'};
  }
}

TEST(Text, PathConversionsNeverThrow) {
  const std::filesystem::path odd(OddName<std::filesystem::path::string_type>());
  std::string utf8;
  ASSERT_NO_THROW(utf8 = PathToUtf8(odd));
  ASSERT_NO_THROW(PathToUtf8(std::filesystem::path("dir") / odd));
  if constexpr (sizeof(std::filesystem::path::value_type) == 1) {
    EXPECT_EQ(utf8, "a\xFF" "b");  // Linux names are bytes and pass through
  } else {
    EXPECT_EQ(utf8, "a\xEF\xBF\xBD" "b");  // U+FFFD for the lone surrogate
  }
  std::filesystem::path back;
  ASSERT_NO_THROW(back = PathFromUtf8("x\xFF\xC0y"));
  EXPECT_NO_THROW(PathToUtf8(back));
}

}  // namespace
}  // namespace zem::platform

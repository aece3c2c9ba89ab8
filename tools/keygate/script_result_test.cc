#include "tools/keygate/script_result.h"

#include <gtest/gtest.h>

namespace zem::keygate {
namespace {

TEST(DecodeScriptResult, NothingCapturedForNullEmptyOrNonStrings) {
  for (const char* json : {"", "null", " \t\r\nnull\n", "\"\"", "  \"\"  ", "42", "{\"a\":1}",
                           "true", "'single'"}) {
    SCOPED_TRACE(json);
    EXPECT_EQ(DecodeScriptResult(json), "");
  }
}

TEST(DecodeScriptResult, PlainStringsAndTrimming) {
  EXPECT_EQ(DecodeScriptResult("\"abc123\""), "abc123");
  EXPECT_EQ(DecodeScriptResult("\r\n\t \"abc\" \t\r\n"), "abc");
  EXPECT_EQ(DecodeScriptResult("\"abc\"trailing\"ignored\""), "abc");  // stops at the first quote
  EXPECT_EQ(DecodeScriptResult("\"unterminated"), "unterminated");
  EXPECT_EQ(DecodeScriptResult("\"云盘\""), "云盘");  // UTF-8 passes through
}

TEST(DecodeScriptResult, EveryEscape) {
  EXPECT_EQ(DecodeScriptResult(R"("a\"b")"), "a\"b");
  EXPECT_EQ(DecodeScriptResult(R"("https:\/\/x\/y")"), "https://x/y");
  EXPECT_EQ(DecodeScriptResult(R"("a\\b")"), "a\\b");
  EXPECT_EQ(DecodeScriptResult(R"("\n\r\t")"), "\n\r\t");
  EXPECT_EQ(DecodeScriptResult(R"("\q\b\f")"), "qbf");  // any other character stands for itself
  // \u below 128 is kept, 128 and above dropped; upper- and lower-case hex.
  EXPECT_EQ(DecodeScriptResult(R"("A\u0042C")"), "ABC");
  EXPECT_EQ(DecodeScriptResult(R"("x\u007Fy\u007fz")"), "x\x7fy\x7fz");
  EXPECT_EQ(DecodeScriptResult(R"("x\u0080y\u4e91z")"), "xyz");
  // Digits stop at the first non-hex character; the four are skipped anyway.
  EXPECT_EQ(DecodeScriptResult(R"("a\u4Zzzb")"), "a\x04" "b");
  EXPECT_EQ(DecodeScriptResult(R"("a\uZZZZb")"), "ab");
  // \u with fewer than five characters after the backslash: the u is skipped.
  EXPECT_EQ(DecodeScriptResult(R"("ab\u41")"), "ab41");
  EXPECT_EQ(DecodeScriptResult(R"("ab\u)"), "ab");
  // Exactly five characters after the backslash: the closing quote is one of
  // the four that are read (and skipped).
  EXPECT_EQ(DecodeScriptResult(R"("ab\u004")"), std::string("ab\x04", 3));
  // A backslash as the very last character stands for itself.
  EXPECT_EQ(DecodeScriptResult("\"ab\\"), "ab\\");
}

}  // namespace
}  // namespace zem::keygate

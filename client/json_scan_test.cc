#include "client/json_scan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <regex>
#include <stdexcept>

namespace zem {
namespace {

using namespace std::string_literals;

// The reference the scanners must agree with: the first match of the
// ECMAScript pattern, group 1. Only used on small inputs here; the product
// never uses std::regex (it overflows the stack on long values).
std::optional<std::string> RegexFirst(const std::string& text, const std::string& pattern) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(pattern, std::regex::ECMAScript))) return std::nullopt;
  return m[1].str();
}

std::optional<std::string> Str(std::optional<std::string_view> v) {
  if (!v) return std::nullopt;
  return std::string(*v);
}
std::optional<std::string> Str(std::optional<std::string> v) { return v; }

TEST(BusinessFailure, FollowsTheSuccessKeyRules) {
  EXPECT_TRUE(IsBusinessFailure(R"({"success":false,"folders":[{"id":"1","name":"a"}]})"));
  EXPECT_TRUE(IsBusinessFailure("{\"success\": \t false}"));
  EXPECT_TRUE(IsBusinessFailure(R"({"folders":[],"success":f})"));  // after the arrays
  EXPECT_FALSE(IsBusinessFailure("{\"success\": \t true}"));
  EXPECT_FALSE(IsBusinessFailure("{\"success\":\nfalse}"));   // only space and tab skipped
  EXPECT_FALSE(IsBusinessFailure("{\"success\":\r\nfalse}"));
  EXPECT_FALSE(IsBusinessFailure(R"({"ok":false})"));
  EXPECT_FALSE(IsBusinessFailure("\"success\""));               // 9 bytes, no colon
  EXPECT_FALSE(IsBusinessFailure("\"success\":"));              // ends after the colon
  EXPECT_FALSE(IsBusinessFailure(""));
  EXPECT_FALSE(IsBusinessFailure("{\"succ"));                   // under 9 bytes
  // The first colon after the key counts, wherever it stands.
  EXPECT_TRUE(IsBusinessFailure(R"("success" "x":false)"));
  // Only the first "success" key is looked at.
  EXPECT_FALSE(IsBusinessFailure(R"({"success":true,"inner":{"success":false}})"));
}

TEST(ExtractJsonArray, CutsTheArrayOfTheNamedMember) {
  EXPECT_EQ(ExtractJsonArray(R"({"folders":[{"a":[1,[2]]},3],"x":[9]})", "folders"),
            R"({"a":[1,[2]]},3)");
  EXPECT_EQ(ExtractJsonArray("{\"folders\" \n:\t [ ]}", "folders"), " ");
  EXPECT_EQ(ExtractJsonArray(R"({"folders":[]})", "folders"), "");
  EXPECT_EQ(ExtractJsonArray(R"({"files":[1]})", "folders"), "");          // key absent
  EXPECT_EQ(ExtractJsonArray(R"({"folders":[{"id":"1"})", "folders"), "");  // not closed
  EXPECT_EQ(ExtractJsonArray(R"({"data":{"files":[7]}})", "files"), "7");  // at any depth
  EXPECT_EQ(ExtractJsonArray("\"k\":[a\0b]"s, "k"), "a\0b"s);
  // A first member of the name whose value is not an array is passed over:
  // the listing further on is still found.
  EXPECT_EQ(ExtractJsonArray(R"({"meta":{"folders":3},"folders":[{"id":"1","name":"d"}]})",
                             "folders"),
            R"({"id":"1","name":"d"})");
  EXPECT_EQ(ExtractJsonArray(R"({"files":null,"x":{"files":{"a":1}},"files":[5]})", "files"), "5");
}

// A file name is user text: brackets in it, or a name that reads like a
// member name, must not cut the listing short or empty it.
TEST(ExtractJsonArray, IsNotMisledByStringValues) {
  // An unbalanced "[" in a name would otherwise leave the array unclosed and
  // the whole listing empty; an unbalanced "]" would cut it at the name.
  EXPECT_EQ(ExtractJsonArray(R"({"files":[{"name":"a[b"},{"name":"c"}]})", "files"),
            R"({"name":"a[b"},{"name":"c"})");
  EXPECT_EQ(ExtractJsonArray(R"({"files":[{"name":"a]b"},{"name":"c"}]})", "files"),
            R"({"name":"a]b"},{"name":"c"})");
  EXPECT_EQ(ExtractJsonArray(R"({"files":[{"name":"q\"]"}]})", "files"), R"({"name":"q\"]"})");
  // A folder named "files" listed before the files member.
  EXPECT_EQ(ExtractJsonArray(R"({"folders":[{"name":"files"},{"name":"[x]"}],"files":[1]})",
                             "files"),
            "1");
  // A null member has no array: the next member's array is not taken.
  EXPECT_EQ(ExtractJsonArray(R"({"folders":null,"files":[{"id":"7"}]})", "folders"), "");
  EXPECT_EQ(ExtractJsonArray(R"({"folders":"[1]"})", "folders"), "");
  EXPECT_EQ(ExtractJsonArray(R"({"folders":[1,"unclosed]})", "folders"), "");
}

TEST(SplitJsonObjects, SplitsTopLevelObjects) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitJsonObjects(R"({"a":1}, {"b":{"c":2}} ,{})"),
            (V{R"({"a":1})", R"({"b":{"c":2}})", "{}"}));
  EXPECT_EQ(SplitJsonObjects(""), V{});
  EXPECT_EQ(SplitJsonObjects("1, 2, \"x\""), V{});
  EXPECT_EQ(SplitJsonObjects(R"({"a":1},{"b")"), V{R"({"a":1})"});  // open at the end: dropped
  // Braces inside a name stay in their object and do not lose the objects
  // that follow.
  EXPECT_EQ(SplitJsonObjects(R"({"id":"1","name":"x}y"},{"id":"2","name":"{\"}"})"),
            (V{R"({"id":"1","name":"x}y"})", R"({"id":"2","name":"{\"}"})"}));
  // A stray "}" outside any object is ignored.
  EXPECT_EQ(SplitJsonObjects(R"(}{"a":1}}{"b":2})"), (V{R"({"a":1})", R"({"b":2})"}));
}

TEST(FieldFinders, MatchTheFieldPatterns) {
  EXPECT_EQ(Str(FindStringField(R"({"id" :	"a b", "id":"2"})", "id")), "a b");
  EXPECT_EQ(Str(FindStringField(R"({"id":42,"x":{"id":"n"}})", "id")), "n");  // number skipped
  EXPECT_EQ(Str(FindStringField(R"({"id":"","id":"z"})", "id")), "z");         // empty skipped
  EXPECT_EQ(Str(FindStringField(R"({"name":"a\"b"})", "name")), "a\"b");       // escaped quote kept
  EXPECT_EQ(Str(FindStringField("{\"id\"\n:\r\n\"x\"}", "id")), "x");
  EXPECT_EQ(FindStringField(R"({"id":"unterminated)", "id"), std::nullopt);
  EXPECT_EQ(FindStringField(R"({"xid":1})", "id"), std::nullopt);
  EXPECT_EQ(Str(FindStringField("\"id\"id\":\"v\"", "id")), "v");  // overlapping occurrences
  EXPECT_EQ(Str(FindStringField("\"id\":\"a\0b\""s, "id")), "a\0b"s);

  // Escapes are decoded: the named ones, \uXXXX as UTF-8, a surrogate pair
  // as one character, an unpaired surrogate as U+FFFD.
  EXPECT_EQ(Str(FindStringField(R"({"name":"say \"hi\".txt"})", "name")), "say \"hi\".txt");
  EXPECT_EQ(Str(FindStringField(R"({"name":"a\tb\\c\/d\n\r\b\f"})", "name")),
            "a\tb\\c/d\n\r\b\f");
  EXPECT_EQ(Str(FindStringField(R"({"name":"\u62a5\u544A.txt"})", "name")), "报告.txt");
  EXPECT_EQ(Str(FindStringField(R"({"name":"\ud83d\ude00!"})", "name")), "\xf0\x9f\x98\x80!");
  EXPECT_EQ(Str(FindStringField(R"({"name":"\ud83dx\ude00"})", "name")),
            "\xef\xbf\xbdx\xef\xbf\xbd");
  EXPECT_EQ(Str(FindStringField(R"({"id":"\u0041"})", "id")), "A");
  // A cut or unknown escape does not match; the next occurrence may.
  EXPECT_EQ(FindStringField(R"({"name":"a\u12"})", "name"), std::nullopt);
  EXPECT_EQ(Str(FindStringField(R"({"name":"a\x","name":"ok"})", "name")), "ok");
  EXPECT_EQ(FindStringField(R"({"name":"a\)", "name"), std::nullopt);

  EXPECT_EQ(Str(FindDigitsField(R"({"size":42})", "size")), "42");
  EXPECT_EQ(Str(FindDigitsField(R"({"size":"42"})", "size")), "42");
  EXPECT_EQ(Str(FindDigitsField(R"({"size":"42)", "size")), "42");  // closing quote optional
  EXPECT_EQ(Str(FindDigitsField(R"({"size":-1,"size":7})", "size")), "7");
  EXPECT_EQ(FindDigitsField(R"({"size":""})", "size"), std::nullopt);
  EXPECT_EQ(Str(FindDigitsField(R"({"size":12.5})", "size")), "12");

  EXPECT_EQ(Str(FindHexField(R"({"sha256":"aBc0"})", "sha256")), "aBc0");
  EXPECT_EQ(FindHexField(R"({"sha256":"abcg"})", "sha256"), std::nullopt);
  EXPECT_EQ(FindHexField(R"({"sha256":abc})", "sha256"), std::nullopt);
  EXPECT_EQ(Str(FindHexField(R"({"sha256":"xyz","sha256":"ff"})", "sha256")), "ff");
}

// Random short texts built from the bytes that matter to the patterns must
// give exactly what std::regex gives.
TEST(FieldFinders, AgreeWithTheRegexOnRandomTexts) {
  const std::vector<std::string> pieces = {"\"id\"", "\"size\"", "\"sha256\"", "\"", ":", " ",
                                           "\t", "\n", "\v", "a", "F", "7", "0", "\\", "{",
                                           "}", "[", "]", ",", "-", "\xe6\x8a\xa5", "\0"s, "id"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int n = static_cast<int>(rng() % 14);
    for (int i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
    // Without a backslash there is no escape to decode, and the string
    // finder is exactly the pattern.
    if (text.find('\\') == std::string::npos) {
      ASSERT_EQ(Str(FindStringField(text, "id")),
                RegexFirst(text, "\"id\"\\s*:\\s*\"([^\"]+)\""))
          << text;
    }
    ASSERT_EQ(Str(FindDigitsField(text, "size")),
              RegexFirst(text, "\"size\"\\s*:\\s*\"?([0-9]+)\"?"))
        << text;
    ASSERT_EQ(Str(FindHexField(text, "sha256")),
              RegexFirst(text, "\"sha256\"\\s*:\\s*\"([0-9a-fA-F]+)\""))
        << text;
  }
}

TEST(FieldFinders, StayFastOnHugeAndHostileInput) {
  const auto start = std::chrono::steady_clock::now();
  // A 100 KB quoted value (std::regex dies on this one).
  const std::string long_value = "{\"name\":\"" + std::string(100 * 1024, 'x') + "\"}";
  EXPECT_EQ(FindStringField(long_value, "name")->size(), 100u * 1024);
  // A 1 MB name and a 50 MB body of repeated keys without values.
  const std::string big_name = "{\"id\":\"1\",\"name\":\"" + std::string(1 << 20, 'n') + "\"}";
  EXPECT_EQ(FindStringField(big_name, "name")->size(), 1u << 20);
  std::string hostile;
  hostile.reserve(50u << 20);
  while (hostile.size() < (50u << 20)) hostile += "\"id\" : \"\"size\":\"\"sha256\":\"0q[{";
  EXPECT_EQ(FindStringField(hostile, "id"), std::nullopt);
  EXPECT_EQ(FindDigitsField(hostile, "size"), std::nullopt);
  EXPECT_EQ(FindHexField(hostile, "sha256"), std::nullopt);
  EXPECT_EQ(ExtractJsonArray(hostile, "id"), "");
  EXPECT_TRUE(SplitJsonObjects(std::string(1 << 20, '{')).empty());
  EXPECT_EQ(ExtractJsonArray("{\"k\":" + std::string(1 << 20, '['), "k"), "");
  std::string many_objects = "{\"files\":[";
  for (int i = 0; i < 200000; ++i) many_objects += "{\"id\":\"1\",\"name\":\"n\"},";
  many_objects += "{}]}";
  EXPECT_EQ(SplitJsonObjects(ExtractJsonArray(many_objects, "files")).size(), 200001u);
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 10.0);
}

TEST(DigitsConversion, RaisesOutOfRangeBeyondTheType) {
  EXPECT_EQ(DigitsToInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(DigitsToInt64("000000000000000000000042"), 42);
  EXPECT_THROW(DigitsToInt64("9223372036854775808"), std::out_of_range);
  EXPECT_EQ(DigitsToInt32("2147483647"), INT32_MAX);
  EXPECT_THROW(DigitsToInt32("2147483648"), std::out_of_range);
  EXPECT_THROW(DigitsToInt64(""), std::invalid_argument);
  EXPECT_THROW(DigitsToInt64("1a"), std::invalid_argument);
}

}  // namespace
}  // namespace zem

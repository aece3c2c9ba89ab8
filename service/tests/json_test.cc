#include "service/json.h"

#include <gtest/gtest.h>

namespace zem::zemd {
namespace {

TEST(JsonTest, DecodesEscapesIncludingSurrogatePairs) {
  JsonValue v;
  ASSERT_TRUE(ParseJson(R"({"a":"q\"x\\y\/z\n\u00e9\ud83d\ude00"})", v));
  EXPECT_EQ(v.Str("a"), "q\"x\\y/z\n\xc3\xa9\xf0\x9f\x98\x80");
}

TEST(JsonTest, IsTolerantWhereClientsAreSloppy) {
  JsonValue v;
  // A raw control character inside a string (the client does not escape
  // them in names) and trailing bytes after the value.
  ASSERT_TRUE(ParseJson("{\"new_name\":\"a\x01" "b\"} trailing", v));
  EXPECT_EQ(v.Str("new_name"), "a\x01" "b");
  // Numbers and quoted numbers read alike.
  ASSERT_TRUE(ParseJson(R"({"page":"3","pageSize":20,"neg":-4,"bad":"x1"})", v));
  EXPECT_EQ(v.Int("page"), 3);
  EXPECT_EQ(v.Int("pageSize"), 20);
  EXPECT_EQ(v.Int("neg"), -4);
  EXPECT_EQ(v.Int("bad", 7), 7);
  EXPECT_EQ(v.Int("missing", 9), 9);
  EXPECT_EQ(v.Str("pageSize"), "20");
}

TEST(JsonTest, ParsesNestedValues) {
  JsonValue v;
  ASSERT_TRUE(ParseJson(R"( {"list":[1,{"k":[true,false,null]}],"o":{}} )", v));
  const JsonValue* list = v.Find("list");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->items.size(), 2u);
  const JsonValue* k = list->items[1].Find("k");
  ASSERT_NE(k, nullptr);
  ASSERT_EQ(k->items.size(), 3u);
  EXPECT_TRUE(k->items[0].boolean);
  EXPECT_EQ(k->items[2].type, JsonValue::Type::kNull);
}

TEST(JsonTest, RejectsMalformedInput) {
  JsonValue v;
  std::string error;
  for (const char* bad : {"", "{", "{\"a\"}", "{\"a\":}", "[1,", "{\"a\":\"open", "tru",
                          "{\"a\":\"\\u12\"}"}) {
    EXPECT_FALSE(ParseJson(bad, v, &error)) << bad;
  }
  EXPECT_FALSE(error.empty());
}

TEST(JsonTest, QuoteRoundTripsEveryByte) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  std::string quoted = JsonQuote(all);
  EXPECT_EQ(quoted.find('\n'), std::string::npos);
  JsonValue v;
  ASSERT_TRUE(ParseJson("{\"s\":" + quoted + "}", v));
  EXPECT_EQ(v.Str("s"), all);
}

}  // namespace
}  // namespace zem::zemd

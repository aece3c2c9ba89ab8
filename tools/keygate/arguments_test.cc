#include "tools/keygate/arguments.h"

#include <gtest/gtest.h>

namespace zem::keygate {
namespace {

TEST(ParseArguments, TokenLogoutAndOtherArguments) {
  Arguments a = ParseArguments({});
  EXPECT_FALSE(a.any);
  EXPECT_FALSE(a.logout);
  EXPECT_EQ(a.token, "");

  a = ParseArguments({"--token", "abc"});
  EXPECT_TRUE(a.any);
  EXPECT_EQ(a.token, "abc");

  // A later --token replaces an earlier one; the value is skipped, so a
  // value that looks like a switch is still a value.
  a = ParseArguments({"--token", "one", "--token", "--logout"});
  EXPECT_EQ(a.token, "--logout");
  EXPECT_FALSE(a.logout);

  // --logout keeps the rest examined.
  a = ParseArguments({"--logout", "--token", "x"});
  EXPECT_TRUE(a.logout);
  EXPECT_EQ(a.token, "x");

  // --token as the last argument is ignored but counts as an argument.
  a = ParseArguments({"--token"});
  EXPECT_TRUE(a.any);
  EXPECT_EQ(a.token, "");

  a = ParseArguments({"--token", ""});
  EXPECT_TRUE(a.any);
  EXPECT_EQ(a.token, "");
}

TEST(ParseArguments, ComparisonsAreExactAndCaseSensitive) {
  Arguments a = ParseArguments({"--Token", "abc", "--LOGOUT", "-token", "--logout=1", "-h"});
  EXPECT_TRUE(a.any);
  EXPECT_FALSE(a.logout);
  EXPECT_FALSE(a.help);
  EXPECT_EQ(a.token, "");

  a = ParseArguments({"x", "--help"});
  EXPECT_TRUE(a.help);
  a = ParseArguments({"--token", "--help"});
  EXPECT_FALSE(a.help);
  EXPECT_EQ(a.token, "--help");
}

}  // namespace
}  // namespace zem::keygate

#include "tools/keygate/console_entry.h"

#include <gtest/gtest.h>

namespace zem::keygate {
namespace {

TEST(TrimConsoleLine, TrailingCrLfSpacesAndLeadingSpacesGoTabsStay) {
  EXPECT_EQ(TrimConsoleLine("  abcdefghijklmnop  \r"), "abcdefghijklmnop");
  EXPECT_EQ(TrimConsoleLine("token \r \r\n\n"), "token");
  EXPECT_EQ(TrimConsoleLine("token\t"), "token\t");
  EXPECT_EQ(TrimConsoleLine("\ttoken \t "), "\ttoken \t");
  EXPECT_EQ(TrimConsoleLine("   \r\n"), "");
  EXPECT_EQ(TrimConsoleLine("a b"), "a b");
  EXPECT_EQ(TrimConsoleLine(""), "");
}

}  // namespace
}  // namespace zem::keygate

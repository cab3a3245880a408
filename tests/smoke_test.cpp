#include <gtest/gtest.h>
#include "support/TestSupport.h"
TEST(Smoke, FormatIsBounded) {
  char b[4];
  EXPECT_EQ(StrFormat(b, sizeof b, "%s", "abcdef"), 6);
  EXPECT_STREQ(b, "abc");
}

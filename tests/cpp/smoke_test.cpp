#include <gtest/gtest.h>
#include "circuit/parser.hpp"
#include "circuit/tree.hpp"
TEST(Smoke, Parses) {
  auto r = kelvara::parse("R0-(R1,C1)");
  ASSERT_FALSE(r.error);
  EXPECT_EQ(kelvara::param_count(r.tree), 3u);
}

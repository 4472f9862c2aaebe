#include <gtest/gtest.h>

#include <string>

#include "circuit/parser.hpp"
#include "circuit/tree_utils.hpp"

namespace kelvara {
namespace {

using PK = ParseError::Kind;

// Every other refusal, with its message and caret, is checked from Python, which cannot
// pass bytes that are not UTF-8.
TEST(Parse, MalformedUtf8IsTrailingInput) {
  const ParseOutcome out = parse("R0\xFF");
  ASSERT_TRUE(out.error);
  EXPECT_TRUE(out.tree.empty());
  EXPECT_EQ(out.error->kind, PK::TrailingInput);
  EXPECT_EQ(out.error->position, 2u);
}

std::string nested(int depth, const char* open = "(") {
  std::string s;
  for (int i = 0; i < depth; ++i) s += open;
  s += "R1";
  return s + std::string(std::size_t(depth), ')');
}

TEST(Parse, NestingLimitIsAnErrorNotACrash) {
  EXPECT_FALSE(parse(nested(kMaxNesting)).error);
  EXPECT_FALSE(parse(nested(kMaxNesting, "p(")).error);
  const ParseOutcome over = parse(nested(kMaxNesting + 1));
  ASSERT_TRUE(over.error);
  EXPECT_EQ(over.error->kind, PK::UnexpectedChar);
  EXPECT_EQ(over.error->position, std::size_t(kMaxNesting));
  // Far deeper than any stack could recurse.
  const ParseOutcome huge = parse(std::string(1'000'000, '('));
  ASSERT_TRUE(huge.error);
  EXPECT_EQ(huge.error->position, std::size_t(kMaxNesting));
}

TEST(CollectLeaves, DepthFirstLeftToRightAndAppends) {
  const ParseOutcome out = parse("R0-(R1-C1,(L1,W1)-K1)-T1");
  ASSERT_FALSE(out.error);
  const Leaf first{*Element::default_for_code("R"), "first"};
  std::vector<const Leaf*> leaves{&first};
  collect_leaves(out.tree, leaves);
  std::string order;
  for (const Leaf* l : leaves) order += *l->label + " ";
  EXPECT_EQ(order, "first R0 R1 C1 L1 W1 K1 T1 ");
}

}  // namespace
}  // namespace kelvara

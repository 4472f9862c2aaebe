#include <gtest/gtest.h>

#include <string>

#include "circuit/parser.hpp"
#include "circuit/tree_utils.hpp"

namespace kelvara {
namespace {

using PK = ParseError::Kind;

struct BadInput {
  const char* name;
  std::string text;
  PK kind;
  std::size_t position;  // ignored for UnexpectedEnd and DuplicateLabel
  std::string payload;   // code or label
};

class ParseRejects : public ::testing::TestWithParam<BadInput> {};

TEST_P(ParseRejects, WithKindAndPosition) {
  const BadInput& c = GetParam();
  const ParseOutcome out = parse(c.text);
  ASSERT_TRUE(out.error) << c.text;
  EXPECT_TRUE(out.tree.empty());
  EXPECT_EQ(out.error->kind, c.kind) << out.error->message();
  if (out.error->has_position()) {
    EXPECT_EQ(out.error->position, c.position);
  }
  EXPECT_EQ(out.error->text, c.payload);
}

// Messages and carets users see are checked from Python; these add the
// error payloads, the leaf-order rule, 3-byte UTF-8 and invalid UTF-8.
INSTANTIATE_TEST_SUITE_P(
    Notation, ParseRejects,
    ::testing::Values(
        BadInput{"CodeWithoutNumber", "R-C1", PK::UnexpectedChar, 1, ""},
        BadInput{"DoubleDash", "R0--C1", PK::UnexpectedChar, 3, ""},
        BadInput{"EmptyBranch", "(R1,)", PK::UnexpectedChar, 4, ""},
        BadInput{"FirstRepeatInLeafOrder", "C1-(R1,R1)-C1", PK::DuplicateLabel, 0, "R1"},
        BadInput{"SyntaxBeforeDuplicates", "R1-R1-X1", PK::UnknownCode, 6, "X"},
        BadInput{"NonAsciiStartsItem", "R0-\xE2\x82\xAC" "1", PK::UnexpectedChar, 3, ""},
        BadInput{"MalformedUtf8", "R0\xFF", PK::TrailingInput, 2, ""}),
    [](const auto& info) { return std::string(info.param.name); });

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

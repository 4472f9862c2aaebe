#include <gtest/gtest.h>

#include <string>
#include <variant>

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

INSTANTIATE_TEST_SUITE_P(
    Notation, ParseRejects,
    ::testing::Values(
        BadInput{"Empty", "", PK::UnexpectedEnd, 0, ""},
        BadInput{"TrailingSpace", "R0 ", PK::TrailingInput, 2, ""},
        BadInput{"CodeWithoutNumberAtEnd", "R", PK::UnexpectedChar, 1, ""},
        BadInput{"CodeWithoutNumber", "R-C1", PK::UnexpectedChar, 1, ""},
        BadInput{"DoubleDash", "R0--C1", PK::UnexpectedChar, 3, ""},
        BadInput{"MissingComma", "(R1C1)", PK::UnexpectedEnd, 0, ""},
        BadInput{"EmptyGroup", "()", PK::UnexpectedChar, 1, ""},
        BadInput{"EmptyBranch", "(R1,)", PK::UnexpectedChar, 4, ""},
        BadInput{"UpperCaseP", "P(R1,C1)", PK::UnexpectedChar, 1, ""},
        BadInput{"UnknownCode", "R0-Q1", PK::UnknownCode, 3, "Q"},
        BadInput{"ShoutedZarc", "R0-(R1,C1)-ZARC1", PK::UnknownCode, 11, "ZARC"},
        BadInput{"LowerPIsACode", "p1", PK::UnknownCode, 0, "p"},
        BadInput{"FirstRepeatInLeafOrder", "C1-(R1,R1)-C1", PK::DuplicateLabel, 0, "R1"},
        BadInput{"SyntaxBeforeDuplicates", "R1-R1-X1", PK::UnknownCode, 6, "X"},
        BadInput{"NonAsciiInsideElement", "R\xC2\xB5" "0", PK::UnexpectedChar, 1, ""},
        BadInput{"NonAsciiAfterElement", "R0\xC2\xB5", PK::TrailingInput, 2, ""},
        BadInput{"NonAsciiInGroup", "(R1\xC2\xB5)", PK::UnexpectedEnd, 0, ""},
        BadInput{"NonAsciiStartsItem", "R0-\xE2\x82\xAC" "1", PK::UnexpectedChar, 3, ""},
        BadInput{"MalformedUtf8", "R0\xFF", PK::TrailingInput, 2, ""}),
    [](const auto& info) { return std::string(info.param.name); });

const ParallelNode& group(const Node& n) { return std::get<ParallelNode>(n.value); }
const Leaf& leaf(const Node& n) { return std::get<Leaf>(n.value); }

TEST(Parse, GroupsKeepBranchOrderAndSingleBranches) {
  const ParseOutcome p = parse("p(R1-W1,C1)-(R2)");
  ASSERT_FALSE(p.error);
  ASSERT_EQ(group(p.tree[0]).branches.size(), 2u);
  EXPECT_EQ(group(p.tree[0]).branches[0].size(), 2u);
  EXPECT_EQ(*leaf(group(p.tree[0]).branches[1][0]).label, "C1");
  EXPECT_EQ(group(p.tree[1]).branches.size(), 1u);
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

const char* const kReportTail =
    "\n\nsyntax:\n"
    "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"\n"
    "  - connect elements in series with '-', e.g. \"R0-C1\"\n"
    "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or \"R0-p(R1,C1)\"\n"
    "\n"
    "available elements (code, parameters, [units]):\n"
    "  R     r [ohm]\n"
    "  C     c [F]\n"
    "  L     l [H]\n"
    "  La    l [H*s], alpha [-]\n"
    "  CPE   q [ohm^-1*s^alpha], alpha [-]\n"
    "  W     aw [ohm*s^-0.5]\n"
    "  Wo    z0 [ohm], tau [s]\n"
    "  Ws    z0 [ohm], tau [s]\n"
    "  G     rg [ohm], tg [s]\n"
    "  Gs    rg [ohm], tg [s], phi [-]\n"
    "  K     r [ohm], tau_k [s]\n"
    "  Zarc  r [ohm], tau_k [s], gamma [-]\n"
    "  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]\n"
    "  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]";

std::string report_for(const std::string& text) {
  const ParseOutcome out = parse(text);
  return out.error ? parse_error_report(text, *out.error) : "(parsed)";
}

TEST(ParseErrorReport, FullTextForUnknownCode) {
  EXPECT_EQ(report_for("R0-X1"), std::string("unknown element code \"X\" at position 3\n\n  R0-X1\n     ^") +
                                     kReportTail);
}

TEST(ParseErrorReport, CaretCountsCharactersNotBytes) {
  EXPECT_EQ(report_for("R\xC2\xB5" "0"),
            std::string("unexpected character at position 1\n\n  R\xC2\xB5" "0\n   ^") + kReportTail);
}

TEST(ParseErrorReport, PositionlessErrorsHaveNoEcho) {
  EXPECT_EQ(report_for("R1-R1"), std::string("duplicate element label \"R1\"") + kReportTail);
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

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "circuit/parser.hpp"
#include "circuit/tree.hpp"
#include "circuit/tree_utils.hpp"
#include "support/invariant.hpp"

namespace kelvara {
namespace {

SeriesList parsed(const char* text) {
  ParseOutcome out = parse(text);
  EXPECT_FALSE(out.error) << text;
  return out.tree;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += n + " ";
  return out;
}

const char* const kMixed = "R0-(R1,C1-W1,(L1,K1))-Zarc1";
const std::vector<double> kMixedValues{1, 2, 0.001, 0.5, 0.001, 3, 0.01, 1.5, 0.01, 0.7};

// The rebuilt-tree value is checked from Python; this is the path fits take.
TEST(TreeImpedance, ReferenceCircuitIsBitExactFromSuppliedParams) {
  ValueCursor cursor(kMixedValues);
  EXPECT_EQ(series_impedance_with_params(parsed(kMixed), cursor, 0.5),
            Complex(2.4828038448770537, -0.03152125813833808));
}

TEST(TreeImpedance, SuppliedParamsMatchRebuiltTreeBitForBit) {
  const SeriesList tree = parsed("L0-R0-(R1-Wo1,CPE1)-(Gs2,T2,Tlmq2)-La3");
  const std::vector<double> v{2e-6, 0.1, 3.0, 2.0, 5.0, 2e-4, 0.85, 1.0, 2.0, 0.5, 1.0, 1.0, 3.0, 0.2,
                              4.0, 1e-3, 0.9, 1e-5, 0.7, 99.0};
  ASSERT_EQ(param_count(tree) + 1, v.size());
  const SeriesList rebuilt = rebuild(tree, v);  // the surplus 99 is ignored
  EXPECT_EQ(param_values(rebuilt), std::vector<double>(v.begin(), v.end() - 1));
  EXPECT_EQ(param_names(rebuilt), param_names(tree));
  for (double w : {0.0, 1e-3, 1.0, 314.0, 1e6}) {
    ValueCursor cursor(v);
    const Complex a = series_impedance_with_params(tree, cursor, w), b = impedance(rebuilt, w);
    EXPECT_TRUE(a == b || (std::isnan(a.real()) && std::isnan(b.real()))) << w << " " << a << " " << b;
    EXPECT_EQ(cursor.take(1), &v.back()) << "exactly the tree's values are consumed";
  }
}

TEST(TreeImpedance, TooFewValuesIsAnInvariantFailure) {
  const SeriesList tree = parsed(kMixed);
  const std::vector<double> short_vector(kMixedValues.begin(), kMixedValues.end() - 1);
  ValueCursor cursor(short_vector);
  try {
    series_impedance_with_params(tree, cursor, 1.0);
    ADD_FAILURE() << "no exception";
  } catch (const InvariantError& e) {
    EXPECT_STREQ(e.what(), "impedance_from_iter: not enough values supplied");
  }
  EXPECT_THROW(rebuild(tree, short_vector), InvariantError);
  EXPECT_THROW(rebuild(tree, {}), InvariantError);
}

TEST(ExpandSeries, ReplacesKAndZarcWithTheUnlabelledPairsTheyAbbreviate) {
  const std::vector<double> v{2.0, 4.0, 0.01, 3.0, 0.02, 0.7, 1e-3};
  const SeriesList tree = rebuild(parsed("R0-K1-(Zarc2,C3)"), v);
  bool expanded = false;
  const SeriesList out = expand_series(tree, expanded);
  EXPECT_TRUE(expanded);
  EXPECT_EQ(out.size(), 3u);
  // New leaves are unlabelled, so they are numbered per kind beside "R0".
  EXPECT_EQ(joined(param_names(out)), "R0.r R0.r C0.c R1.r Cpe0.q Cpe0.alpha C3.c ");
  EXPECT_EQ(param_values(out), (std::vector<double>{2.0, 4.0, 0.01 / 4.0, 3.0, std::pow(0.02, 0.7) / 3.0, 0.7, 1e-3}));
  EXPECT_EQ(param_values(tree), v);
  for (double w : {0.1, 50.0, 1e4}) {
    const Complex a = impedance(tree, w), b = impedance(out, w);
    EXPECT_NEAR(a.real(), b.real(), 1e-12 * std::abs(a));
    EXPECT_NEAR(a.imag(), b.imag(), 1e-12 * std::abs(a));
  }
}

TEST(ExpandSeries, FlagIsSetButNeverCleared) {
  bool expanded = false;
  EXPECT_EQ(param_names(expand_series(parsed("R0-(R1,CPE1)"), expanded)), param_names(parsed("R0-(R1,CPE1)")));
  EXPECT_FALSE(expanded);
  expanded = true;
  expand_series(parsed("R0"), expanded);
  EXPECT_TRUE(expanded);
}

std::optional<std::string> closest(const char* name, std::vector<std::string> candidates) {
  return closest_param_name(name, candidates);
}

TEST(ClosestParamName, PicksNearestWithinThreshold) {
  // Ties, the floor of 2 and the len / 2 limit are checked from Python.
  EXPECT_EQ(closest("R1.q", {"R0.r", "R1.r"}), "R1.r");  // later but strictly closer
  EXPECT_EQ(closest("R2.r", {}), std::nullopt);
  // Six Greek letters: six substitutions exceed the limit of 3 characters,
  // though counted in bytes they would be 6 of 12 / 2.
  EXPECT_EQ(closest("\u03b1\u03b2\u03b3\u03b4\u03b5\u03b6", {"\u03b7\u03b8\u03b9\u03ba\u03bb\u03bc"}), std::nullopt);
  EXPECT_EQ(closest("\u03b1\u03b2\u03b3\u03b4\u03b5\u03b6", {"\u03b7\u03b8\u03b9\u03b4\u03b5\u03b6"}),
            "\u03b7\u03b8\u03b9\u03b4\u03b5\u03b6");
}

}  // namespace
}  // namespace kelvara

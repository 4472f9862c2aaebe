#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "circuit/parser.hpp"
#include "circuit/tree.hpp"
#include "circuit/tree_utils.hpp"
#include "elements/invariant.hpp"

namespace kelvara {
namespace {

SeriesList parsed(const char* text) {
  ParseOutcome out = parse(text);
  EXPECT_FALSE(out.error) << text;
  return out.tree;
}

Node bare(Kind kind, std::vector<double> values, std::optional<std::string> label = std::nullopt) {
  return Node{Leaf{Element::from_values(kind, values), std::move(label)}};
}
Node parallel(std::vector<SeriesList> branches) { return Node{ParallelNode{std::move(branches)}}; }

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += n + " ";
  return out;
}

const char* const kMixed = "R0-(R1,C1-W1,(L1,K1))-Zarc1";
const std::vector<double> kMixedValues{1, 2, 0.001, 0.5, 0.001, 3, 0.01, 1.5, 0.01, 0.7};

TEST(TreeImpedance, ReferenceCircuitIsBitExactBothWays) {
  const SeriesList tree = rebuild(parsed(kMixed), kMixedValues);
  const Complex expected(2.4828038448770537, -0.03152125813833808);
  EXPECT_EQ(impedance(tree, 0.5), expected);
  ValueCursor cursor(kMixedValues);
  EXPECT_EQ(series_impedance_with_params(parsed(kMixed), cursor, 0.5), expected);
  EXPECT_EQ(cursor.take(1), nullptr) << "the vector should be consumed exactly";
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

TEST(TreeImpedance, ParallelDegenerateBranchesGiveNaN) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (double r : {0.0, kInf, 1e-300, std::nan("")}) {
    const Complex z = impedance({parallel({{bare(Kind::R, {1.0})}, {bare(Kind::R, {r})}})}, 1.0);
    EXPECT_TRUE(std::isnan(z.real()) && std::isnan(z.imag())) << r;
  }
  const Complex big = impedance({parallel({{bare(Kind::R, {1.0})}, {bare(Kind::R, {1e300})}})}, 1.0);
  EXPECT_EQ(big, Complex(1.0, 0.0));
  const Complex none = impedance({Node{}}, 1.0);  // a group without branches
  EXPECT_TRUE(std::isnan(none.real()) && std::isnan(none.imag()));
  EXPECT_EQ(impedance(SeriesList{}, 1.0), Complex(0.0, 0.0));
}

TEST(ParamNames, UnlabelledLeavesCountPerKindIndependentlyOfLabels) {
  const SeriesList tree{bare(Kind::R, {1}), bare(Kind::R, {1}, "R0"), bare(Kind::C, {1}),
                        parallel({{bare(Kind::R, {1})}, {bare(Kind::Cpe, {1, 0.5}), bare(Kind::Tlmq, {1, 1, 1})}})};
  const std::string expected = "R0.r R0.r C0.c R1.r Cpe0.q Cpe0.alpha Tlmq0.r_ion Tlmq0.qs Tlmq0.gamma ";
  EXPECT_EQ(joined(param_names(tree)), expected);
  EXPECT_EQ(joined(param_names(tree)), expected) << "counters must restart on every call";
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
  EXPECT_EQ(closest("R2.r", {"R0.r", "R1.r"}), "R0.r");  // tie: earliest wins
  EXPECT_EQ(closest("R1.q", {"R0.r", "R1.r"}), "R1.r");  // later but strictly closer
  EXPECT_EQ(closest("R2.r", {}), std::nullopt);
  // 3 characters accept distance 2 (the floor), 10 characters accept 5.
  EXPECT_EQ(closest("abc", {"axx"}), "axx");
  EXPECT_EQ(closest("abc", {"xyz"}), std::nullopt);
  EXPECT_EQ(closest("abcdefghij", {"abcdeVWXYZ"}), "abcdeVWXYZ");
  EXPECT_EQ(closest("abcdefghij", {"abcdUVWXYZ"}), std::nullopt);
  // Six Greek letters: six substitutions exceed the limit of 3 characters,
  // though counted in bytes they would be 6 of 12 / 2.
  EXPECT_EQ(closest("\u03b1\u03b2\u03b3\u03b4\u03b5\u03b6", {"\u03b7\u03b8\u03b9\u03ba\u03bb\u03bc"}), std::nullopt);
  EXPECT_EQ(closest("\u03b1\u03b2\u03b3\u03b4\u03b5\u03b6", {"\u03b7\u03b8\u03b9\u03b4\u03b5\u03b6"}),
            "\u03b7\u03b8\u03b9\u03b4\u03b5\u03b6");
}

}  // namespace
}  // namespace kelvara

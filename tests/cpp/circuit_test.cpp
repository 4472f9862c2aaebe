// The circuit tree: parsing limits, evaluation from stored or supplied values,
// and expansion of the abbreviating elements. The block evaluation must give
// the numbers of the formulas applied one frequency at a time (to the last few
// bits: the block takes its powers and hyperbolic functions from the vector
// math library), and, bit for bit, the same number for a point whatever its
// block: fits, residuals and impedance() all go through it.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "circuit/block_eval.hpp"
#include "circuit/tree_utils.hpp"
#include "support/invariant.hpp"
#include "test_support.hpp"

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
  // C0 AD is an overlong '-': read as one, it would turn this into the valid "R0-C1".
  EXPECT_TRUE(parse("R0\xC0\xAD"
                    "C1")
                  .error);
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
  EXPECT_EQ(over.error->kind, PK::NestedTooDeep);
  EXPECT_EQ(over.error->position, std::size_t(kMaxNesting));
  EXPECT_EQ(over.error->message(),
            "circuit is nested more than 200 parallel groups deep at position 200");
  // Far deeper than any stack could recurse.
  const ParseOutcome huge = parse(std::string(1'000'000, '('));
  ASSERT_TRUE(huge.error);
  EXPECT_EQ(huge.error->kind, PK::NestedTooDeep);
  EXPECT_EQ(huge.error->position, std::size_t(kMaxNesting));
}

const char* const kMixed = "R0-(R1,C1-W1,(L1,K1))-Zarc1";
const std::vector<double> kMixedValues{1, 2, 0.001, 0.5, 0.001, 3, 0.01, 1.5, 0.01, 0.7};

// The rebuilt-tree value is checked from Python; this is the path fits take.
TEST(TreeImpedance, ReferenceCircuitIsBitExactFromSuppliedParams) {
  std::vector<double> v = kMixedValues;
  v.push_back(99.0);  // a surplus value is left unread
  ValueCursor cursor(v);
  EXPECT_EQ(series_impedance_with_params(parsed(kMixed), cursor, 0.5),
            Complex(2.4828038448770537, -0.03152125813833808));
  EXPECT_EQ(cursor.take(1), &v.back()) << "exactly the tree's values are consumed";
  EXPECT_EQ(param_values(rebuild(parsed(kMixed), v)), kMixedValues);
}

TEST(TreeImpedance, TooFewValuesIsAnInvariantFailure) {
  const SeriesList tree = parsed(kMixed);
  const std::vector<double> short_vector(kMixedValues.begin(), kMixedValues.end() - 1), w{1.0, 2.0};
  std::vector<Complex> out(2);
  ValueCursor cursor(short_vector);
  for (int path = 0; path < 2; ++path) {
    try {
      if (path == 0) series_impedance_with_params(tree, cursor, 1.0);
      if (path == 1) impedance_at(tree, short_vector, w, out);
      ADD_FAILURE() << "no exception on path " << path;
    } catch (const InvariantError& e) {
      EXPECT_STREQ(e.what(), "impedance_from_iter: not enough values supplied");
    }
  }
  EXPECT_THROW(rebuild(tree, short_vector), InvariantError);
  EXPECT_THROW(rebuild(tree, {}), InvariantError);
}

// The tree's impedance at one frequency, element formula by element formula:
// series values add, a parallel node is the reciprocal of its branches'
// summed reciprocals.
Complex one_at_a_time(const SeriesList& nodes, double omega) {
  Complex z{0.0, 0.0};
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      z = cadd(z,
               Element::impedance_of(leaf->element.kind(), leaf->element.values().data(), omega));
    } else {
      Complex y{0.0, 0.0};
      for (const SeriesList& branch : std::get<ParallelNode>(node.value).branches) {
        y = cadd(y, crecip(one_at_a_time(branch, omega)));
      }
      z = cadd(z, crecip(y));
    }
  }
  return z;
}

// Within a few units in the last place of |z|, or the same NaN.
bool close(Complex a, Complex b) {
  const double scale = std::abs(b);
  if (!std::isfinite(scale)) {
    return std::isnan(a.real()) == std::isnan(b.real()) &&
           std::isnan(a.imag()) == std::isnan(b.imag());
  }
  return std::abs(a - b) <= 1e-15 * scale;
}

bool same_bits(Complex a, Complex b) {
  return std::bit_cast<std::uint64_t>(a.real()) == std::bit_cast<std::uint64_t>(b.real()) &&
         std::bit_cast<std::uint64_t>(a.imag()) == std::bit_cast<std::uint64_t>(b.imag());
}

// Frequencies across the fast paths and off them (0, negative, inf, NaN),
// repeated to cross block boundaries.
std::vector<double> omegas_of_length(std::size_t n) {
  const double special[] = {0.0,          -0.0,  -3.0, std::numeric_limits<double>::infinity(),
                            std::nan(""), 1e-300};
  std::vector<double> w(n);
  for (std::size_t i = 0; i < n; ++i) {
    w[i] = i % 17 == 5 ? special[(i / 17) % 6] : std::pow(10.0, -3.0 + 0.07 * double(i));
  }
  return w;
}

class BlockEval : public ::testing::TestWithParam<CircuitCase> {};

TEST_P(BlockEval, MatchesTheFormulasOneFrequencyAtATime) {
  const SeriesList tree = rebuild(parsed(GetParam().notation), GetParam().values);
  for (std::size_t n : {0u, 1u, 63u, 64u, 65u, 200u}) {
    const std::vector<double> w = omegas_of_length(n);
    std::vector<Complex> stored(n), supplied(n);
    impedance_at(tree, w, stored);
    impedance_at(tree, GetParam().values, w, supplied);
    for (std::size_t i = 0; i < n; ++i) {
      const Complex expected = one_at_a_time(tree, w[i]);
      EXPECT_TRUE(close(stored[i], expected))
          << "omega " << w[i] << ": " << stored[i] << " vs " << expected;
      EXPECT_TRUE(same_bits(supplied[i], stored[i])) << "omega " << w[i];
      EXPECT_TRUE(same_bits(impedance(tree, w[i]), stored[i])) << "one-point block, omega " << w[i];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Circuits, BlockEval, ::testing::ValuesIn(kind_covering_circuits()));

TEST(BlockEvalDeep, NestingAtTheParserLimitEvaluates) {
  std::string text = "R0";
  for (int i = 1; i < kMaxNesting; ++i) text = "(R" + std::to_string(i) + "," + text + ")";
  const SeriesList tree = parsed(text);
  const std::vector<double> w = omegas_of_length(70);
  std::vector<Complex> out(w.size());
  impedance_at(tree, w, out);
  for (std::size_t i = 0; i < w.size(); ++i) EXPECT_TRUE(close(out[i], one_at_a_time(tree, w[i])));
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += n + " ";
  return out;
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
  EXPECT_EQ(param_values(out),
            (std::vector<double>{2.0, 4.0, 0.01 / 4.0, 3.0, std::pow(0.02, 0.7) / 3.0, 0.7, 1e-3}));
  EXPECT_EQ(param_values(tree), v);
  for (double w : {0.1, 50.0, 1e4}) {
    const Complex a = impedance(tree, w), b = impedance(out, w);
    EXPECT_NEAR(a.real(), b.real(), 1e-12 * std::abs(a));
    EXPECT_NEAR(a.imag(), b.imag(), 1e-12 * std::abs(a));
  }
  // Nothing to expand leaves the flag as it was: set, never cleared.
  EXPECT_EQ(param_names(expand_series(parsed("R0-(R1,CPE1)"), expanded)),
            param_names(parsed("R0-(R1,CPE1)")));
  EXPECT_TRUE(expanded);
  expanded = false;
  expand_series(parsed("R0"), expanded);
  EXPECT_FALSE(expanded);
}

TEST(ClosestParamName, PicksNearestWithinThreshold) {
  // Ties, the floor of 2 and the len / 2 limit are checked from Python.
  auto closest = [](const char* name, std::vector<std::string> candidates) {
    return closest_param_name(name, candidates);
  };
  EXPECT_EQ(closest("R1.q", {"R0.r", "R1.r"}), "R1.r");  // later but strictly closer
  EXPECT_EQ(closest("R2.r", {}), std::nullopt);
  // Six Greek letters: six substitutions exceed the limit of 3 characters,
  // though counted in bytes they would be 6 of 12 / 2.
  EXPECT_EQ(
      closest("\u03b1\u03b2\u03b3\u03b4\u03b5\u03b6", {"\u03b7\u03b8\u03b9\u03ba\u03bb\u03bc"}),
      std::nullopt);
  EXPECT_EQ(
      closest("\u03b1\u03b2\u03b3\u03b4\u03b5\u03b6", {"\u03b7\u03b8\u03b9\u03b4\u03b5\u03b6"}),
      "\u03b7\u03b8\u03b9\u03b4\u03b5\u03b6");
}

}  // namespace
}  // namespace kelvara

// The block evaluation must give the numbers of the formulas applied one
// frequency at a time (to the last few bits: the block takes its powers and
// hyperbolic functions from the vector math library), and, bit for bit, the
// same number for a point whatever its block: fits, residuals and
// impedance() all go through it.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "circuit/block_eval.hpp"
#include "circuit/parser.hpp"
#include "circuit/tree.hpp"
#include "support/invariant.hpp"

namespace kelvara {
namespace {

SeriesList parsed_tree(const std::string& text) {
  ParseOutcome out = parse(text);
  EXPECT_FALSE(out.error) << text;
  return out.tree;
}

// The tree's impedance at one frequency, element formula by element formula:
// series values add, a parallel node is the reciprocal of its branches'
// summed reciprocals.
Complex one_at_a_time(const SeriesList& nodes, double omega) {
  Complex z{0.0, 0.0};
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      z = cadd(z, Element::impedance_of(leaf->element.kind(), leaf->element.values().data(), omega));
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
  if (!std::isfinite(scale)) return std::isnan(a.real()) == std::isnan(b.real()) && std::isnan(a.imag()) == std::isnan(b.imag());
  return std::abs(a - b) <= 1e-15 * scale;
}

bool same_bits(Complex a, Complex b) {
  return std::bit_cast<std::uint64_t>(a.real()) == std::bit_cast<std::uint64_t>(b.real()) &&
         std::bit_cast<std::uint64_t>(a.imag()) == std::bit_cast<std::uint64_t>(b.imag());
}

// Frequencies across the fast paths and off them (0, negative, inf, NaN),
// repeated to cross block boundaries.
std::vector<double> omegas_of_length(std::size_t n) {
  const double special[] = {0.0, -0.0, -3.0, std::numeric_limits<double>::infinity(), std::nan(""), 1e-300};
  std::vector<double> w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = i % 17 == 5 ? special[(i / 17) % 6] : std::pow(10.0, -3.0 + 0.07 * double(i));
  return w;
}

struct Case {
  const char* notation;
  std::vector<double> values;
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.notation; }
};

class BlockEval : public ::testing::TestWithParam<Case> {};

TEST_P(BlockEval, MatchesTheFormulasOneFrequencyAtATime) {
  const SeriesList tree = rebuild(parsed_tree(GetParam().notation), GetParam().values);
  for (std::size_t n : {0u, 1u, 63u, 64u, 65u, 200u}) {
    const std::vector<double> w = omegas_of_length(n);
    std::vector<Complex> stored(n), supplied(n);
    impedance_at(tree, w, stored);
    impedance_at(tree, GetParam().values, w, supplied);
    for (std::size_t i = 0; i < n; ++i) {
      const Complex expected = one_at_a_time(tree, w[i]);
      EXPECT_TRUE(close(stored[i], expected)) << "omega " << w[i] << ": " << stored[i] << " vs " << expected;
      EXPECT_TRUE(same_bits(supplied[i], stored[i])) << "omega " << w[i];
      EXPECT_TRUE(same_bits(impedance(tree, w[i]), stored[i])) << "one-point block, omega " << w[i];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Circuits, BlockEval,
    ::testing::Values(
        Case{"R0-(R1,CPE1)-(R2-Wo2,CPE2)", {0.02, 0.01, 0.05, 0.85, 0.03, 0.01, 5.0, 2.0, 0.8}},
        Case{"L0-R0-(R1-Wo1,CPE1)-(Gs2,T2,Tlmq2)-La3",
             {2e-6, 0.1, 3.0, 2.0, 5.0, 2e-4, 0.85, 1.0, 2.0, 0.5, 1.0, 1.0, 3.0, 0.2, 4.0, 1e-3, 0.9, 1e-5, 0.7}},
        // exponents on the exact paths, and elements that go to NaN at omega = 0
        Case{"(CPE0,C1,W2)-(CPE3,Ws4)-K5-Zarc6-G7", {1e-3, 1.0, 2e-3, 3.0, 1e-2, 0.5, 1.0, 2.0, 4.0, 0.01, 2.0, 1e-3, 1.0, 1.0, 0.3}},
        Case{"CPE0-(CPE1,(R2,(R3,(C4,R5))))", {1e-3, 0.0, 2e-3, 0.7, 1.0, 2.0, 3.0, 1e-6, 4.0}}));

TEST(BlockEvalDeep, NestingAtTheParserLimitEvaluates) {
  std::string text = "R0";
  for (int i = 1; i < 200; ++i) text = "(R" + std::to_string(i) + "," + text + ")";
  const SeriesList tree = parsed_tree(text);
  const std::vector<double> w = omegas_of_length(70);
  std::vector<Complex> out(w.size());
  impedance_at(tree, w, out);
  for (std::size_t i = 0; i < w.size(); ++i) EXPECT_TRUE(close(out[i], one_at_a_time(tree, w[i])));
}

TEST(BlockEvalDeep, TooFewValuesIsTheSameInvariantFailure) {
  const SeriesList tree = parsed_tree("R0-(R1,C1)");
  const std::vector<double> w{1.0, 2.0}, values{1.0, 2.0};
  std::vector<Complex> out(2);
  try {
    impedance_at(tree, values, w, out);
    ADD_FAILURE() << "no exception";
  } catch (const InvariantError& e) {
    EXPECT_STREQ(e.what(), "impedance_from_iter: not enough values supplied");
  }
}

}  // namespace
}  // namespace kelvara

// The complex helpers fix IEEE details that std::complex leaves open, so
// these checks compare bits, sign bits included, not tolerances.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "elements/complex_math.hpp"

namespace kelvara {
namespace {

void expect_bits(Complex actual, Complex expected) {
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(std::signbit(actual.real()), std::signbit(expected.real())) << actual;
  EXPECT_EQ(std::signbit(actual.imag()), std::signbit(expected.imag())) << actual;
}

TEST(ComplexDivision, PlainFormulaWithNaNForZeroDivisor) {
  for (Complex zero : {Complex{0.0, 0.0}, Complex{-0.0, 0.0}, Complex{0.0, -0.0}}) {
    const Complex q = cdiv({1.0, 2.0}, zero);
    EXPECT_TRUE(std::isnan(q.real()) && std::isnan(q.imag())) << zero;
  }
  expect_bits(cdiv({1.0, 2.0}, {3.0, 4.0}), {11.0 / 25.0, 2.0 / 25.0});
  // c^2 + d^2 overflows to inf: unscaled gives 0 where a scaled division gives 1e-200.
  EXPECT_EQ(crecip({1e200, 0.0}).real(), 0.0);
}

TEST(ComplexPower, ExponentsOneHalfAndZeroAreExact) {
  const Complex z{-3.0, 4.0};
  expect_bits(cpow(z, 1.0), z);
  expect_bits(cpow(z, 0.5), csqrt(z));
  expect_bits(cpow({std::nan(""), 1.0}, 0.0), {1.0, 0.0});
  // The polar form would leave a cos(pi/2) residue in the real part.
  expect_bits(cpow({-4.0, 0.0}, 0.5), {0.0, 2.0});
  const Complex w = cpow({0.0, 1.0}, 0.8);  // polar form: e^{j 0.4 pi}
  EXPECT_EQ(w, Complex(std::cos(std::atan2(1.0, 0.0) * 0.8), std::sin(std::atan2(1.0, 0.0) * 0.8)));
}

struct SqrtCase {
  const char* name;
  Complex z, root;
};

class PrincipalSqrt : public ::testing::TestWithParam<SqrtCase> {};

TEST_P(PrincipalSqrt, SignBitsDecideOnTheAxes) { expect_bits(csqrt(GetParam().z), GetParam().root); }

INSTANTIATE_TEST_SUITE_P(
    Axes, PrincipalSqrt,
    ::testing::Values(SqrtCase{"PositiveReal", {4.0, 0.0}, {2.0, 0.0}},
                      SqrtCase{"PositiveRealNegZeroImag", {4.0, -0.0}, {2.0, -0.0}},
                      SqrtCase{"NegativeReal", {-4.0, 0.0}, {0.0, 2.0}},
                      SqrtCase{"NegativeRealNegZeroImag", {-4.0, -0.0}, {0.0, -2.0}},
                      SqrtCase{"NegativeZero", {-0.0, 0.0}, {0.0, 0.0}},
                      SqrtCase{"PositiveImag", {0.0, 2.0}, {1.0, 1.0}},
                      SqrtCase{"NegativeImag", {0.0, -2.0}, {1.0, -1.0}},
                      SqrtCase{"NegZeroRealPositiveImag", {-0.0, 2.0}, {1.0, 1.0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ComplexTanh, SaturatesOnlyStrictlyAboveTwenty) {
  expect_bits(ctanh({20.000001, 1.0}), {1.0, 0.0});
  expect_bits(ctanh({-25.0, 1.0}), {-1.0, 0.0});
  expect_bits(ctanh({1e308, 0.5}), {1.0, 0.0});
  // At exactly 20 the full formula runs: a tiny but non-zero imaginary part.
  EXPECT_DOUBLE_EQ(ctanh({20.0, 1.0}).imag(), std::sin(2.0) / (std::cosh(40.0) + std::cos(2.0)));
  EXPECT_NE(ctanh({-20.0, 1.0}).imag(), 0.0);
}

}  // namespace
}  // namespace kelvara

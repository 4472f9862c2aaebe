// Element formulas and the complex helpers under them. The helpers fix IEEE
// details that std::complex leaves open, so these compare bits, sign bits
// included. Formulas against an independent reference are checked from Python.
#include "elements/element.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "elements/complex_math.hpp"

namespace kelvara {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Element make(Kind kind, std::vector<double> values) { return Element::from_values(kind, values); }

void expect_bits(Complex actual, Complex expected) {
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(std::signbit(actual.real()), std::signbit(expected.real())) << actual;
  EXPECT_EQ(std::signbit(actual.imag()), std::signbit(expected.imag())) << actual;
}

struct AtZero {
  const char* name;
  Kind kind;
  std::vector<double> values;
  double re;  // NaN: both parts must be NaN; otherwise the imaginary part is 0
};

class ElementAtZeroFrequency : public ::testing::TestWithParam<AtZero> {};

TEST_P(ElementAtZeroFrequency, GivesDcLimitOrNaN) {
  const AtZero& c = GetParam();
  const Complex z = make(c.kind, c.values).impedance(0.0);
  if (std::isnan(c.re)) {
    EXPECT_TRUE(std::isnan(z.real()) && std::isnan(z.imag())) << z;
  } else {
    EXPECT_NEAR(z.real(), c.re, 1e-15 * std::fabs(c.re));
    EXPECT_EQ(z.imag(), 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ElementAtZeroFrequency,
    ::testing::Values(AtZero{"R", Kind::R, {5.0}, 5.0}, AtZero{"C", Kind::C, {1e-3}, kNaN},
                      AtZero{"L", Kind::L, {1e-6}, 0.0}, AtZero{"La", Kind::La, {1e-6, 0.8}, 0.0},
                      AtZero{"Cpe", Kind::Cpe, {1e-3, 0.8}, kNaN},
                      AtZero{"CpeAlphaZero", Kind::Cpe, {1e-3, 0.0}, 1000.0},
                      AtZero{"W", Kind::W, {1.0}, kNaN}, AtZero{"Wo", Kind::Wo, {1.0, 10.0}, kNaN},
                      AtZero{"Ws", Kind::Ws, {1.0, 10.0}, kNaN},
                      AtZero{"G", Kind::G, {2.0, 1.0}, 2.0},
                      AtZero{"Gs", Kind::Gs, {1.0, 1.0, 1.0}, 1.0 / std::tanh(1.0)},
                      AtZero{"K", Kind::K, {3.0, 0.01}, 3.0},
                      AtZero{"Zarc", Kind::Zarc, {1.5, 0.01, 0.7}, 1.5},
                      AtZero{"Tlmq", Kind::Tlmq, {1.0, 1e-3, 0.8}, kNaN},
                      AtZero{"T", Kind::T, {1.0, 1.0, 1.0, 1.0}, 2.1639534137386534}),
    [](const auto& info) { return std::string(info.param.name); });

// Exponents of exactly 0 reduce to a resistor bit for bit (exponent 1 is checked from Python).
TEST(ElementImpedance, ZeroExponentsReduceToResistors) {
  for (double w : {1e-3, 0.5, 10.0, 1234.5}) {
    SCOPED_TRACE(w);
    EXPECT_EQ(make(Kind::Cpe, {0.5, 0.0}).impedance(w), Complex(2.0, 0.0));
    EXPECT_EQ(make(Kind::Zarc, {3.0, 0.02, 0.0}).impedance(w), Complex(1.5, 0.0));
  }
}

TEST(ElementImpedance, TDropsSinhTermOnlyWhereTanhSaturates) {
  EXPECT_EQ(make(Kind::T, {1.0, 1.0, 400.1, 1.0}).impedance(0.0), crecip({std::sqrt(400.1), 0.0}));
  const Complex at = make(Kind::T, {1.0, 1.0, 400.0, 1.0}).impedance(0.0);
  EXPECT_NEAR(at.real() - 0.05, 1.0 / (20.0 * std::sinh(20.0)), 1e-17);
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

TEST(PrincipalSqrt, SignBitsDecideOnTheAxes) {
  const Complex cases[][2] = {{{4.0, 0.0}, {2.0, 0.0}},   {{4.0, -0.0}, {2.0, -0.0}},
                              {{-4.0, 0.0}, {0.0, 2.0}},  {{-4.0, -0.0}, {0.0, -2.0}},
                              {{-0.0, 0.0}, {0.0, 0.0}},  {{0.0, 2.0}, {1.0, 1.0}},
                              {{0.0, -2.0}, {1.0, -1.0}}, {{-0.0, 2.0}, {1.0, 1.0}}};
  for (const auto& [z, root] : cases) {
    SCOPED_TRACE(z);
    expect_bits(csqrt(z), root);
  }
}

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

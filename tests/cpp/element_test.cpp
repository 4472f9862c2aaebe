#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "elements/element.hpp"

namespace kelvara {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Element make(Kind kind, std::vector<double> values) { return Element::from_values(kind, values); }

// Every code and spelling reaching its kind is checked from Python by the parameter names.
TEST(ElementCodes, RejectsOtherSpellings) {
  for (std::string_view bad : {"cpe", "TLmq", "", "Cpe ", "ZARC", "r"}) {
    EXPECT_FALSE(Element::default_for_code(bad)) << '"' << bad << '"';
  }
  EXPECT_FALSE(Element::default_for_code(std::string_view("R\0", 2)));
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
                      AtZero{"Ws", Kind::Ws, {1.0, 10.0}, kNaN}, AtZero{"G", Kind::G, {2.0, 1.0}, 2.0},
                      AtZero{"Gs", Kind::Gs, {1.0, 1.0, 1.0}, 1.0 / std::tanh(1.0)},
                      AtZero{"K", Kind::K, {3.0, 0.01}, 3.0}, AtZero{"Zarc", Kind::Zarc, {1.5, 0.01, 0.7}, 1.5},
                      AtZero{"Tlmq", Kind::Tlmq, {1.0, 1e-3, 0.8}, kNaN},
                      AtZero{"T", Kind::T, {1.0, 1.0, 1.0, 1.0}, 2.1639534137386534}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ElementImpedance, TDefaultsAtZeroFrequencyMatchReferenceBits) {
  const Complex z = Element::default_for_code("T")->impedance(0.0);
  // The reference bits assume a correctly rounded sinh(2); glibc 2.36 is one
  // ulp off there, which moves the result by two ulps.
  volatile double two = 2.0;
  if (std::sinh(two) != 3.6268604078470186) GTEST_SKIP() << "libm sinh(2) is not correctly rounded";
  EXPECT_EQ(z, Complex(2.1639534137386534, 0.0));
}

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

}  // namespace
}  // namespace kelvara

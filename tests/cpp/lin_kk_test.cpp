// The Lin-KK test in the core: the circuit's algebra, the choice of M and
// the refusals, against spectra whose answer is known.

#include "validity/lin_kk.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace kelvara {
namespace {

std::vector<Complex> two_arcs(const std::vector<double>& f, double series_c) {
  std::vector<Complex> z;
  for (double v : f) {
    const double w = 6.283185307179586 * v;
    const Complex jw{0.0, w};
    Complex zz = 10.0 + 100.0 / (1.0 + jw * 1e-3) + 50.0 / (1.0 + jw * 0.1);
    if (series_c > 0.0) zz += 1.0 / (jw * series_c);
    z.push_back(zz);
  }
  return z;
}

TEST(LinKk, ReproducesAKramersKronigSpectrumAndItsSeriesCapacitance) {
  const auto f = log_frequencies(1e5, 1e-2, 70);
  for (double c : {0.0, 0.5}) {
    const auto z = two_arcs(f, c);
    const auto out = lin_kk(f, z, LinKkOptions{});
    ASSERT_TRUE(std::holds_alternative<LinKkResult>(out)) << std::get<std::string>(out);
    const LinKkResult& r = std::get<LinKkResult>(out);
    EXPECT_EQ(r.add_capacitance, c > 0.0);
    EXPECT_LT(r.pseudo_chi_square, 1e-8) << c;
    // R0 + sum R_k is the zero-frequency resistance without the capacitor.
    double dc = 0.0;
    for (std::size_t k = 0; k <= r.time_constants.size(); ++k) dc += r.values[k];
    EXPECT_NEAR(dc, 160.0, 0.5) << c;
    if (c > 0.0) {
      EXPECT_NEAR(1.0 / r.values.back(), c, 1e-3 * c);
    }
  }
}

TEST(LinKk, TimeConstantsSpanTheWindowAndTheCountsStartAtTwoPerDecade) {
  const auto f = log_frequencies(1e4, 1e-1, 20);
  const auto tau = time_constants(f, 11);
  EXPECT_DOUBLE_EQ(tau.front(), 1.0 / (6.283185307179586 * 1e4));
  EXPECT_DOUBLE_EQ(tau.back(), 1.0 / (6.283185307179586 * 1e-1));
  EXPECT_NEAR(tau[1] / tau[0], std::pow(10.0, 0.5), 1e-12);
  EXPECT_EQ(min_rc_for(f), 10u);
  EXPECT_EQ(min_rc_for(std::vector<double>{1.0, 2.0, 3.0}), 3u);
}

TEST(LinKk, TallSpectraTakeTheNormalEquationsToTheExactAnswer) {
  // A spectrum the test's own circuit reproduces exactly (its grid of 20
  // time constants, R_k of both signs, L and R0), on 12000 points (24000
  // rows: the normal equations) and on 300 (the SVD): both give the values.
  for (std::size_t n : {300u, 12000u}) {
    const auto f = log_frequencies(1e5, 1e-2, n);
    const auto tau = time_constants(f, 20);
    std::vector<double> r(20);
    for (std::size_t k = 0; k < 20; ++k) r[k] = (k % 3 == 0 ? -1.0 : 2.0) * double(k + 1);
    std::vector<Complex> z;
    for (double v : f) {
      const double w = 6.283185307179586 * v;
      Complex zz{5.0, w * 1e-6};
      for (std::size_t k = 0; k < 20; ++k) zz += r[k] / Complex(1.0, w * tau[k]);
      z.push_back(zz);
    }
    LinKkOptions o;
    o.num_rc = 20;
    o.add_capacitance = false;
    const auto out = std::get<LinKkResult>(lin_kk(f, z, o));
    EXPECT_NEAR(out.values[0], 5.0, 1e-8) << n;
    for (std::size_t k = 0; k < 20; ++k)
      EXPECT_NEAR(out.values[k + 1], r[k], 1e-7) << n << " " << k;
    EXPECT_NEAR(out.values[21], 1e-6, 1e-14) << n;
    EXPECT_LT(out.pseudo_chi_square, 1e-20) << n;
  }
}

TEST(LinKk, ThePartsFitAloneAndTheVanishingColumnsAfterwards) {
  const auto f = log_frequencies(1e5, 1e-2, 70);
  const auto z = two_arcs(f, 0.0);
  for (KkPart part : {KkPart::Real, KkPart::Imag}) {
    LinKkOptions o;
    o.part = part;
    const auto r = std::get<LinKkResult>(lin_kk(f, z, o));
    EXPECT_LT(r.pseudo_chi_square, 1e-6);
    EXPECT_NEAR(r.values[0], 10.0, 0.05);  // R0, fitted in the other part when imaginary
  }
}

struct Refusal {
  const char* name;
  std::vector<double> f;
  std::vector<Complex> z;
  LinKkOptions options;
  std::string message;
};

class LinKkRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(LinKkRefuses, WithTheReason) {
  const Refusal& c = GetParam();
  const auto out = lin_kk(c.f, c.z, c.options);
  ASSERT_TRUE(std::holds_alternative<std::string>(out));
  EXPECT_EQ(std::get<std::string>(out), c.message);
}

LinKkOptions with_num_rc(std::size_t m) {
  LinKkOptions o;
  o.num_rc = m;
  return o;
}

LinKkOptions with_min_rc(std::size_t m, std::size_t max) {
  LinKkOptions o;
  o.min_rc = m;
  o.max_rc = max;
  return o;
}

const std::vector<Complex> kThree = {{1, 0}, {2, 0}, {3, 0}};

INSTANTIATE_TEST_SUITE_P(
    Cases, LinKkRefuses,
    ::testing::Values(
        Refusal{"Short",
                {1, 2},
                {{1, 0}, {2, 0}},
                {},
                "the Lin-KK test needs at least 3 points, got 2"},
        Refusal{"Lengths", {1, 2, 3}, {{1, 0}, {2, 0}}, {}, "3 frequencies but 2 impedances"},
        Refusal{"NaN",
                {1, NAN, 3},
                kThree,
                {},
                "the spectrum holds non-finite values; drop them first (drop_flagged)"},
        Refusal{"ZeroFrequency",
                {1, 0, 3},
                kThree,
                {},
                "the spectrum holds zero or negative frequencies; drop them first"},
        Refusal{"ZeroModulus",
                {1, 2, 3},
                {{1, 0}, {0, 0}, {3, 0}},
                {},
                "the spectrum holds points with |Z| = 0"},
        Refusal{"NumRc",
                {1, 2, 3},
                kThree,
                with_num_rc(9),
                "num_rc must lie in 1..4 for 3 points, got 9"},
        Refusal{"MinRc",
                {1, 2, 3},
                kThree,
                with_min_rc(9, 8),
                "min_rc must lie in 1..max_rc (8), got 9"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvara

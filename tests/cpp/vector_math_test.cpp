// The vector versions of pow, sinh/cosh and sin/cos: close to the scalar libm
// everywhere the element formulas use them, the same special values, and a
// point's result independent of where it sits in the block.
#include "elements/vector_math.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace kelvara::vector_math {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::int64_t ulps_apart(double a, double b) {
  const auto x = std::bit_cast<std::int64_t>(a), y = std::bit_cast<std::int64_t>(b);
  return x > y ? x - y : y - x;
}

// Agreement with the scalar function: the same NaN/infinity, else within a
// few units in the last place (or a tiny absolute error near a zero of sin).
void expect_close(double got, double want, double x, double near_zero = 0.0) {
  if (std::isnan(want) || std::isinf(want)) {
    EXPECT_TRUE(std::isnan(want) ? std::isnan(got) : got == want)
        << "x " << x << ": " << got << " vs " << want;
    return;
  }
  if (std::fabs(want) <= near_zero) {
    EXPECT_LE(std::fabs(got - want), 1e-16) << "x " << x;
    return;
  }
  EXPECT_LE(ulps_apart(got, want), 4) << "x " << x << ": " << got << " vs " << want;
}

void expect_same_bits(double one, double in_block, double x) {
  EXPECT_EQ(std::bit_cast<std::uint64_t>(one), std::bit_cast<std::uint64_t>(in_block)) << "x " << x;
}

std::vector<double> sample(double lo, double hi, std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<double> v(n);
  for (double& x : v) x = u(rng);
  return v;
}

class VectorMath : public ::testing::TestWithParam<Level> {
 protected:
  void SetUp() override {
    if (!level_available(GetParam())) GTEST_SKIP() << "not supported by this processor or build";
  }
};

// Each point is also taken alone: a one-point call must give the bits it has inside a block.
TEST_P(VectorMath, PowMatchesTheScalarLibm) {
  std::vector<double> x;
  for (double e : sample(-12.0, 12.0, 4096, 1)) x.push_back(std::pow(10.0, e));
  const double special[] = {0.0, -0.0, 1.0, 5e-324, 1e-310, 1e300, kInf, std::nan(""), -2.0};
  x.insert(x.end(), std::begin(special), std::end(special));
  for (double p : {0.85, 0.5000001, 0.999, 0.01, 1.7, -0.8}) {
    for (std::size_t start = 0; start < x.size(); start += kMaxPoints) {
      const std::size_t n = std::min(kMaxPoints, x.size() - start);
      double out[kMaxPoints];
      pow_each_at(GetParam(), x.data() + start, p, out, n);
      for (std::size_t i = 0; i < n; ++i) {
        const double v = x[start + i];
        expect_close(out[i], std::pow(v, p), v);
        double one;
        pow_each_at(GetParam(), &v, p, &one, 1);
        expect_same_bits(one, out[i], v);
      }
    }
  }
}

TEST_P(VectorMath, HyperbolicAndCircularMatchTheScalarLibm) {
  // The finite-diffusion elements take them of 2 sqrt(omega tau / 2): up to
  // the tanh saturation at 40, and far beyond for points it discards.
  std::vector<double> x = sample(0.0, 45.0, 4096, 2);
  const std::vector<double> wide = sample(-1e6, 1e6, 512, 3);
  x.insert(x.end(), wide.begin(), wide.end());
  const double special[] = {0.0, -0.0, 1e-300, 5e-324, 710.0, 1e300, kInf, -kInf, std::nan("")};
  x.insert(x.end(), std::begin(special), std::end(special));
  for (std::size_t start = 0; start < x.size(); start += kMaxPoints) {
    const std::size_t n = std::min(kMaxPoints, x.size() - start);
    double sh[kMaxPoints], ch[kMaxPoints], s[kMaxPoints], c[kMaxPoints];
    sinh_cosh_each_at(GetParam(), x.data() + start, sh, ch, n);
    sin_cos_each_at(GetParam(), x.data() + start, s, c, n);
    for (std::size_t i = 0; i < n; ++i) {
      const double v = x[start + i];
      expect_close(sh[i], std::sinh(v), v);
      expect_close(ch[i], std::cosh(v), v);
      expect_close(s[i], std::sin(v), v, 1e-12);
      expect_close(c[i], std::cos(v), v, 1e-12);
      double one[4];
      sinh_cosh_each_at(GetParam(), &v, &one[0], &one[1], 1);
      sin_cos_each_at(GetParam(), &v, &one[2], &one[3], 1);
      expect_same_bits(one[0], sh[i], v);
      expect_same_bits(one[1], ch[i], v);
      expect_same_bits(one[2], s[i], v);
      expect_same_bits(one[3], c[i], v);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, VectorMath,
                         ::testing::Values(Level::Scalar, Level::Avx2, Level::Avx512),
                         [](const auto& info) {
                           switch (info.param) {
                             case Level::Scalar:
                               return "Scalar";
                             case Level::Avx2:
                               return "Avx2";
                             case Level::Avx512:
                               return "Avx512";
                           }
                           return "Unknown";
                         });

}  // namespace
}  // namespace kelvara::vector_math

// Element-by-element derivatives over blocks of frequencies: the impedance
// exactly as the block evaluation gives it, and derivatives that agree with
// central differences of the whole circuit, across blocks, nesting and every
// built-in kind.
#include "circuit/block_derivatives.hpp"

#include <complex>
#include <vector>

#include "circuit/block_eval.hpp"
#include "support/invariant.hpp"
#include "test_support.hpp"

namespace kelvara {
namespace {

using C = std::complex<double>;

class BlockDerivatives : public ::testing::TestWithParam<CircuitCase> {};

TEST_P(BlockDerivatives, MatchTheWholeCircuitsDifferencesAndItsImpedance) {
  const SeriesList tree = parsed(GetParam().notation);
  const std::vector<double> p(GetParam().values.begin(),
                              GetParam().values.begin() + long(param_count(tree)));
  for (std::size_t n : {1u, 64u, 150u}) {  // one point, one block, blocks and a partial one
    std::vector<double> w(n);
    for (std::size_t k = 0; k < n; ++k) w[k] = std::pow(10.0, -2.0 + 7.0 * double(k) / double(n));
    std::vector<Complex> z(n), dz(p.size() * n), expected(n);
    impedance_derivatives_at(tree, p, w, z, dz);
    impedance_at(tree, p, w, expected);
    for (std::size_t k = 0; k < n; ++k) {
      EXPECT_EQ(z[k].real(), expected[k].real()) << "omega " << w[k];
      EXPECT_EQ(z[k].imag(), expected[k].imag()) << "omega " << w[k];
    }
    for (std::size_t j = 0; j < p.size(); ++j) {
      std::vector<double> up = p, down = p;
      const double h = 1e-6 * std::fmax(std::fabs(p[j]), 1e-8);
      up[j] += h, down[j] -= h;
      std::vector<Complex> zu(n), zd(n);
      impedance_at(tree, up, w, zu);
      impedance_at(tree, down, w, zd);
      for (std::size_t k = 0; k < n; ++k) {
        const C fd = (C(zu[k].real(), zu[k].imag()) - C(zd[k].real(), zd[k].imag())) / (2 * h);
        const C got(dz[j * n + k].real(), dz[j * n + k].imag());
        const double rounding = 1e-14 * std::abs(C(zu[k].real(), zu[k].imag())) / h;
        EXPECT_LE(std::abs(got - fd), 1e-5 * std::abs(fd) + rounding)
            << "parameter " << j << " at omega " << w[k];
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Circuits, BlockDerivatives, ::testing::ValuesIn(kind_covering_circuits()));

TEST(BlockDerivatives, MismatchedSizesAreAnInvariantFailure) {
  const SeriesList tree = parsed("R0-(R1,C1)");
  const std::vector<double> p = {1.0, 2.0, 1e-3}, w = {1.0, 2.0};
  std::vector<Complex> z(2), short_dz(5);
  EXPECT_THROW(impedance_derivatives_at(tree, p, w, z, short_dz), InvariantError);
}

}  // namespace
}  // namespace kelvara

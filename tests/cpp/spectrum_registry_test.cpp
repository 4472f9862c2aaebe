#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "circuit/parser.hpp"
#include "circuit/spectrum_eval.hpp"
#include "circuit/tree.hpp"
#include "models/registry.hpp"
#include "support/worker_pool.hpp"

namespace kelvara {
namespace {

TEST(PoolSize, EnvironmentPrecedence) {
  EXPECT_EQ(pool_size_from("4", "8", 2), 4u);
  EXPECT_EQ(pool_size_from("0", "8", 3), 3u);  // "0" means one per processor
  EXPECT_EQ(pool_size_from("many", "8", 3), 8u);
  EXPECT_EQ(pool_size_from("-2", "8", 3), 8u);
  EXPECT_EQ(pool_size_from("", nullptr, 3), 3u);
  EXPECT_EQ(pool_size_from(nullptr, "0", 5), 5u);
  EXPECT_EQ(pool_size_from("4x", "junk", 5), 5u);
  // Counts past oneTBB's own ceiling are cut to it; counts below it are kept.
  EXPECT_EQ(pool_size_from("1000000000000", "8", 4), 256u);
  EXPECT_EQ(pool_size_from(nullptr, "100000", 100), 400u);
  EXPECT_EQ(pool_size_from("300", nullptr, 100), 300u);
}

// Both the serial and the pool path must give exactly the per-point
// evaluation, in input order.
TEST(ImpedanceSpectrum, SerialAndParallelPathsMatchPointwise) {
  const SeriesList tree = parse("L0-R0-(R1-W1,CPE1)-(R2,Zarc2)-T3-Ws4").tree;
  ASSERT_FALSE(tree.empty());
  for (std::size_t n : {kParallelThreshold - 1, kParallelThreshold, std::size_t{5000}}) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = std::pow(10.0, -3.0 + 9.0 * double(i) / double(n));
    std::vector<Complex> out(n);
    impedance_spectrum(tree, f, out);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(out[i], impedance(tree, f[i] * 6.283185307179586)) << "n=" << n << " i=" << i;
    }
  }
}

TEST(ModelRegistry, KeyLookupTrimsWhiteSpaceAndFoldsAsciiCaseOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      // Case folding and Unicode white space are checked from Python.
      {"Rc_L", "rc_l"}, {"rc\xE2\x80\x8B", ""},  // zero-width space is not white space
      {"rc l", ""}, {"sei_randles_w", ""}};
  for (const auto& [text, key] : cases) {
    const models::Model* m = model_by_key(text);
    EXPECT_EQ(m ? std::string(m->key) : "", key) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace kelvara

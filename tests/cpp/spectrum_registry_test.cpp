#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "circuit/parser.hpp"
#include "circuit/spectrum_eval.hpp"
#include "circuit/tree.hpp"
#include "circuit/worker_pool.hpp"
#include "models/registry.hpp"

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

const std::vector<std::pair<std::string, std::string>> kRegistry = {
    {"rc", "R0.r R1.r C1.c "},
    {"rc_l", "L0.l R0.r R1.r C1.c "},
    {"rq", "R0.r R1.r CPE1.q CPE1.alpha "},
    {"rq_l", "L0.l R0.r R1.r CPE1.q CPE1.alpha "},
    {"two_rc", "R0.r R1.r C1.c R2.r C2.c "},
    {"two_rc_l", "L0.l R0.r R1.r C1.c R2.r C2.c "},
    {"two_rq", "R0.r R1.r CPE1.q CPE1.alpha R2.r CPE2.q CPE2.alpha "},
    {"two_rq_l", "L0.l R0.r R1.r CPE1.q CPE1.alpha R2.r CPE2.q CPE2.alpha "},
    {"randles", "R0.r R1.r W1.aw CPE1.q CPE1.alpha "},
    {"sei_randles", "R0.r R1.r CPE1.q CPE1.alpha R2.r W2.aw CPE2.q CPE2.alpha "},
    {"sei_randles_wo", "R0.r R1.r CPE1.q CPE1.alpha R2.r Wo2.z0 Wo2.tau CPE2.q CPE2.alpha "},
};

TEST(ModelRegistry, EveryCircuitParsesToItsNetworkOutputOrder) {
  ASSERT_EQ(models::all().size(), kRegistry.size());
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < kRegistry.size(); ++i) {
    const models::Model& m = models::all()[i];
    EXPECT_EQ(m.key, kRegistry[i].first);
    const ParseOutcome out = parse(m.circuit);
    ASSERT_FALSE(out.error) << m.circuit << ": " << out.error->message();
    std::string names;
    for (const std::string& n : param_names(out.tree)) names += n + " ";
    EXPECT_EQ(names, kRegistry[i].second) << m.key;
    keys.push_back(kRegistry[i].first);
  }
  EXPECT_EQ(models::names(), keys);
  EXPECT_EQ(models::quoted_names(),
            "'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', 'randles', "
            "'sei_randles', 'sei_randles_wo'");
}

TEST(ModelRegistry, KeyLookupTrimsWhiteSpaceAndFoldsAsciiCaseOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" TWO_RC ", "two_rc"}, {"Randles", "randles"},
      {"\t rc_L\xC2\xA0\xE3\x80\x80", "rc_l"},  // NBSP and ideographic space count as white space
      {"rc\xE2\x80\x8B", ""},                   // zero-width space does not
      {"two-rc", ""}, {"rc l", ""}, {"", ""}, {"sei_randles_w", ""}};
  for (const auto& [text, key] : cases) {
    const models::Model* m = model_by_key(text);
    EXPECT_EQ(m ? std::string(m->key) : "", key) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace kelvara

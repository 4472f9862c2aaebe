// The engine's fit: held parameters and the caller's box in the least
// squares, the statistics of the free parameters, the starts the spectrum
// gives, and the search on circuits whose local fit from the catalogue
// values misses the minimum.

#include "fit/search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "circuit/tree.hpp"
#include "fit/free_fit.hpp"
#include "fit/search_starts.hpp"
#include "test_support.hpp"

namespace kelvara {
namespace {

EngineRequest request_for(const SeriesList& nodes, std::vector<bool> held, bool search) {
  EngineRequest r;
  r.box = param_bounds(nodes);
  r.held_flags.reset(new bool[held.size()]);
  for (std::size_t i = 0; i < held.size(); ++i) r.held_flags[i] = held[i];
  r.starts = {param_values(nodes)};
  r.search = search;
  return r;
}

TEST(FreeFit, HeldParametersKeepTheirValuesAndHaveNoStatistics) {
  const SeriesList truth = rebuild(parsed("R0-(R1,C1)"), std::vector<double>{0.5, 2.0, 1e-3});
  const auto f = log_frequencies(1e4, 1e-2, 40);
  const auto z = spectrum_of(truth, f);
  // R0 held 10 % off: the others compensate, and R0 does not move at all.
  const SeriesList start = rebuild(truth, std::vector<double>{0.55, 1.0, 1e-2});
  FitProblem problem(start, f, z, true);
  EngineRequest r = request_for(start, {true, false, false}, false);
  const EngineOutcome out = engine_fit(problem, r);
  EXPECT_EQ(out.outcome.params[0], 0.55);
  ASSERT_TRUE(out.outcome.stderr_values.has_value());
  EXPECT_TRUE(std::isnan((*out.outcome.stderr_values)[0]));
  EXPECT_TRUE(std::isfinite((*out.outcome.stderr_values)[1]));
  EXPECT_TRUE(std::isnan(out.covariance(0, 0)) && std::isnan(out.covariance(1, 0)));
  EXPECT_NEAR(out.covariance(1, 1), std::pow((*out.outcome.stderr_values)[1], 2), 1e-12);
  EXPECT_TRUE(out.outcome.success);
  // The free optimum with R0 held: fitting again from it changes nothing.
  std::vector<double> again = out.outcome.params;
  const LmRun run = levenberg_marquardt_single_start(problem, again, std::vector<std::size_t>{1, 2},
                                                     {}, LmSettings{});
  EXPECT_NEAR(cost_at(problem, run.params), out.outcome.cost, 1e-12 * (1 + out.outcome.cost));
}

TEST(FreeFit, StaysInsideAHalfOpenAndAFiniteBox) {
  const SeriesList truth =
      rebuild(parsed("R0-(R1,CPE1)"), std::vector<double>{0.5, 2.0, 1e-3, 0.9});
  const auto f = log_frequencies(1e4, 1e-2, 40);
  const auto z = spectrum_of(truth, f);
  FitProblem problem(truth, f, z, true);
  EngineRequest r = request_for(truth, {false, false, false, false}, false);
  r.box[1] = {1.0, INFINITY};  // half-open above a floor of the caller's
  r.box[3] = {0.5, 0.8};       // below the truth: active
  problem.bounds = r.box;
  r.starts = {{0.5, 3.0, 1e-3, 0.7}};
  const EngineOutcome out = engine_fit(problem, r);
  EXPECT_GT(out.outcome.params[1], 1.0);
  EXPECT_LE(out.outcome.params[3], 0.8);
  EXPECT_NEAR(out.outcome.params[3], 0.8, 1e-6);
  EXPECT_GT(out.outcome.cost, 0.0);
}

TEST(SpectrumScales, FindTheInterceptThePolarisationAndTheArcs) {
  const SeriesList truth =
      rebuild(parsed("R0-(R1,C1)-(R2,C2)"), std::vector<double>{1.0, 10.0, 1e-5, 10.0, 1e-2});
  const auto f = log_frequencies(1e6, 1e-3, 90);
  const auto z = spectrum_of(truth, f);
  std::vector<double> omegas;
  for (double v : f) omegas.push_back(v * 6.283185307179586);
  const SpectrumScales s = spectrum_scales(omegas, z);
  EXPECT_NEAR(s.r_high, 1.0, 0.01);
  EXPECT_NEAR(s.r_polarisation, 20.0, 0.1);
  ASSERT_EQ(s.feature_taus.size(), 2u);
  // Time constants 1e-4 s and 0.1 s, each peak within a sampling step.
  std::vector<double> taus = s.feature_taus;
  std::sort(taus.begin(), taus.end());
  EXPECT_NEAR(std::log10(taus[0]), -4.0, 0.1);
  EXPECT_NEAR(std::log10(taus[1]), -1.0, 0.1);
}

TEST(QuasiRandomStarts, StayInTheirRangesKeepHeldValuesAndFollowTheSeed) {
  const std::vector<DrawRange> ranges = {{-3.0, 1.0, true}, {0.5, 1.0, false}, {-6.0, -2.0, true}};
  const std::vector<double> base = {7.0, 0.9, 1e-3};
  const bool held[] = {false, false, true};
  const auto a = quasi_random_starts(ranges, base, held, 64, 1);
  const auto b = quasi_random_starts(ranges, base, held, 64, 1);
  const auto c = quasi_random_starts(ranges, base, held, 64, 2);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  for (const auto& p : a) {
    EXPECT_TRUE(p[0] >= 1e-3 && p[0] <= 10.0) << p[0];
    EXPECT_TRUE(p[1] >= 0.5 && p[1] <= 1.0) << p[1];
    EXPECT_EQ(p[2], 1e-3);
  }
}

// However many starts an effort asks for, building them heeds an interrupt:
// the hook is asked after the first interval, and its answer ends the work
// long before ten million starts exist.
TEST(SearchStarts, BuildingThemHeedsAnInterrupt) {
  const std::vector<DrawRange> ranges = {{-3.0, 1.0, true}, {0.5, 1.0, false}};
  const std::vector<double> base = {7.0, 0.9};
  const bool held[] = {false, false};
  int asked = 0;
  const InterruptHook stop{[](void* n) { return ++*static_cast<int*>(n) > 0; }, &asked};
  InterruptPoll quasi(stop), perturbed(stop);
  EXPECT_THROW(quasi_random_starts(ranges, base, held, 10'000'000, 1, &quasi), FitInterrupted);
  EXPECT_THROW(perturbed_starts(base, ranges, std::vector<Bounds>{{1e-12, INFINITY}, {0.0, 1.0}},
                                held, 10'000'000, 1, &perturbed),
               FitInterrupted);
  EXPECT_EQ(asked, 2);
}

struct SearchCase {
  const char* name;
  const char* notation;
  std::vector<double> truth;
};

class Search : public ::testing::TestWithParam<SearchCase> {};

// From the catalogue values, decades away from these spectra, the search
// reaches the generating values' cost; it is never above the local fit.
TEST_P(Search, ReachesTheMinimumFromTheCatalogueValues) {
  const SearchCase& c = GetParam();
  const SeriesList shape = parsed(c.notation);
  const auto f = log_frequencies(1e5, 1e-2, 60);
  const auto z = spectrum_of(rebuild(shape, c.truth), f);
  std::vector<bool> held(c.truth.size(), false);
  FitProblem local_problem(shape, f, z, true);
  const EngineOutcome local = engine_fit(local_problem, request_for(shape, held, false));
  FitProblem problem(shape, f, z, true);
  const EngineOutcome found = engine_fit(problem, request_for(shape, held, true));
  EXPECT_LE(found.outcome.cost, local.outcome.cost * (1 + 1e-9));
  // Every full run's end, cheapest first, the fit's own among them; none without the search.
  ASSERT_FALSE(found.end_costs.empty());
  EXPECT_TRUE(std::is_sorted(found.end_costs.begin(), found.end_costs.end()));
  EXPECT_LE(found.end_costs.front(), found.outcome.cost * (1 + 1e-9) + 1e-300);
  EXPECT_TRUE(local.end_costs.empty());
  // Noise-free data: the minimum is zero, up to rounding.
  EXPECT_LT(found.outcome.cost, 1e-12) << "local " << local.outcome.cost;
  // The same input and seed, the same answer.
  FitProblem again(shape, f, z, true);
  EXPECT_EQ(engine_fit(again, request_for(shape, held, true)).outcome.params, found.outcome.params);
}

INSTANTIATE_TEST_SUITE_P(
    Circuits, Search,
    ::testing::Values(SearchCase{"ThreeArcs",
                                 "R0-(R1,CPE1)-(R2,CPE2)-(R3,C3)",
                                 {5.0, 20, 1e-6, 0.9, 50, 1e-4, 0.8, 100, 1e-2}},
                      SearchCase{"MegaohmGerischer", "R0-(R1,C1)-G1", {1e5, 5e5, 1e-10, 2e5, 0.1}},
                      SearchCase{
                          "MilliohmWarburg", "R0-(R1,CPE1)-W2", {0.02, 0.05, 0.5, 0.85, 0.01}}),
    [](const auto& info) { return std::string(info.param.name); });

// Where polished ends agree on the best minimum the search stops early: the
// same minimum as polishing every start and hopping, for fewer solver runs.
TEST(Search, AgreementEndsThePolishingAndSkipsTheHops) {
  const SeriesList shape = parsed("R0-(R1,CPE1)-(R2,CPE2)");
  const auto f = log_frequencies(1e5, 1e-2, 60);
  auto z = spectrum_of(rebuild(shape, std::vector<double>{5.0, 20, 1e-6, 0.9, 50, 1e-3, 0.8}), f);
  for (std::size_t k = 0; k < z.size(); ++k) z[k] *= 1.0 + 0.0003 * std::sin(7.0 * double(k));
  const std::vector<bool> held(7, false);
  auto fit_with = [&](std::size_t agreed) {
    EngineRequest r = request_for(shape, held, true);
    r.settings.polished = 12, r.settings.hops = 8, r.settings.agreed = agreed;
    FitProblem problem(shape, f, z, true);
    return engine_fit(problem, r);
  };
  const EngineOutcome early = fit_with(2);
  const EngineOutcome every = fit_with(SIZE_MAX);
  EXPECT_NEAR(early.outcome.cost, every.outcome.cost, 1e-9 * every.outcome.cost);
  EXPECT_LT(early.solver_runs + 8, every.solver_runs);
  EXPECT_LT(early.end_costs.size() + 8, every.end_costs.size());
}

}  // namespace
}  // namespace kelvara

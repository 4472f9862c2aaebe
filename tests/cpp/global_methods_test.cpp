// The iterative solvers behind the global fitting methods, on cost
// functions whose minima and evaluation counts are known.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "fit/chacha_rng.hpp"
#include "fit/differential_evolution.hpp"
#include "fit/nelder_mead.hpp"
#include "fit/particle_swarm.hpp"
#include "fit/simulated_annealing.hpp"
#include "fit/solver_state.hpp"

namespace kelvara {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// sum (x_i - c_i)^2, recording every point it is asked about.
struct RecordingQuadratic {
  std::vector<double> centre;
  std::vector<std::vector<double>>* seen;

  double operator()(std::span<const double> x) const {
    seen->emplace_back(x.begin(), x.end());
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += (x[i] - centre[i]) * (x[i] - centre[i]);
    return s;
  }
};

double rosenbrock(std::span<const double> x) {
  return 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
}

TEST(SolverState, RecordsStrictImprovementsAndAnInfiniteStartButNeverNaN) {
  SolverState state;
  state.consider(std::vector<double>{1.0}, kNaN);
  EXPECT_FALSE(state.best);
  state.consider(std::vector<double>{2.0}, kInf);
  ASSERT_TRUE(state.best);
  EXPECT_EQ(state.best->front(), 2.0);
  state.consider(std::vector<double>{3.0}, 5.0);
  state.consider(std::vector<double>{4.0}, 5.0);  // a tie keeps the first
  state.consider(std::vector<double>{5.0}, kNaN);
  EXPECT_EQ(state.best->front(), 3.0);
  EXPECT_EQ(state.best_cost, 5.0);
}

TEST(NelderMead, InitialSimplexAddsTenthOfMagnitudeOrAbsoluteTenth) {
  const std::vector<double> x0 = {2.0, -5.0, 0.0, 1e-9, -3.0};
  const auto simplex = NelderMead::initial_simplex(x0);
  ASSERT_EQ(simplex.size(), 6u);
  EXPECT_EQ(simplex[0], x0);
  const std::vector<double> steps = {0.2, 0.5, 0.1, 0.1, 0.3};  // always added, whatever the sign
  for (std::size_t i = 0; i < x0.size(); ++i) {
    std::vector<double> expected = x0;
    expected[i] += steps[i];
    EXPECT_EQ(simplex[i + 1], expected) << i;
  }
}

TEST(NelderMead, ZeroIterationsKeepsTheBestInitialVertex) {
  std::vector<std::vector<double>> seen;
  NelderMead simplex(RecordingQuadratic{{1.0, 3.0}, &seen}, NelderMead::initial_simplex(std::vector{1.0, 2.0}));
  const SolverState state = run_solver(simplex, 0);
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(state.iterations, 0u);
  EXPECT_EQ(*state.best, (std::vector{1.0, 2.2}));  // the vertex nearest the centre
}

TEST(NelderMead, MinimisesRosenbrockAndStopsOnFlatCosts) {
  NelderMead simplex(rosenbrock, NelderMead::initial_simplex(std::vector{-1.2, 1.0}));
  const SolverState state = run_solver(simplex, 100000);
  EXPECT_LT(state.iterations, 100000u);  // the spread test ended it
  EXPECT_NEAR((*state.best)[0], 1.0, 1e-6);
  EXPECT_NEAR((*state.best)[1], 1.0, 1e-6);
  EXPECT_LT(state.best_cost, 1e-12);
}

TEST(NelderMead, NaNRegionIsLeftBehind) {
  // Costs are NaN for x < 0: NaN vertices rank last and get replaced.
  auto cost = [](std::span<const double> x) { return x[0] < 0.0 ? kNaN : (x[0] - 2.0) * (x[0] - 2.0); };
  NelderMead simplex(cost, {{-1.0}, {0.5}});
  const SolverState state = run_solver(simplex, 500);
  EXPECT_NEAR((*state.best)[0], 2.0, 1e-6);
}

TEST(ParticleSwarm, StaysInTheBoxAndFindsTheMinimum) {
  std::vector<std::vector<double>> seen;
  ChaChaRng rng = ChaChaRng::seed_from_u64(5);
  const std::vector<double> lower = {-5.0, 0.0, 10.0}, upper = {5.0, 1.0, 20.0};
  ParticleSwarm swarm(RecordingQuadratic{{1.5, 0.25, 12.0}, &seen}, lower, upper, 30, rng);
  const SolverState state = run_solver(swarm, 200);
  EXPECT_EQ(state.iterations, 200u);
  EXPECT_EQ(seen.size(), 30u * 201u);
  for (const auto& x : seen) {
    for (std::size_t j = 0; j < 3; ++j) ASSERT_TRUE(x[j] >= lower[j] && x[j] <= upper[j]) << x[j];
  }
  EXPECT_LT(state.best_cost, 1e-10);
}

TEST(ParticleSwarm, MinimumOnTheBoxEdgeIsReachedByClamping) {
  std::vector<std::vector<double>> seen;
  ChaChaRng rng = ChaChaRng::seed_from_u64(9);
  ParticleSwarm swarm(RecordingQuadratic{{2.0, -3.0}, &seen}, {0.0, 0.0}, {1.0, 1.0}, 20, rng);
  const SolverState state = run_solver(swarm, 100);
  EXPECT_EQ(*state.best, (std::vector{1.0, 0.0}));
}

TEST(SimulatedAnnealing, StepsShrinkAsT0OverK) {
  // Every proposal is rejected (NaN), so each one is drawn around x0 and
  // the k-th lies within T0 / k of it in every coordinate.
  const std::vector<double> x0(40, 0.0);
  std::vector<std::vector<double>> seen;
  auto cost = [&](std::span<const double> x) {
    seen.emplace_back(x.begin(), x.end());
    return seen.size() == 1 ? 0.0 : kNaN;
  };
  ChaChaRng steps = ChaChaRng::seed_from_u64(1), accept = ChaChaRng::seed_from_u64(2);
  SimulatedAnnealing walk(cost, x0, 3.0, steps, accept);
  const SolverState state = run_solver(walk, 50);
  ASSERT_EQ(seen.size(), 51u);
  EXPECT_EQ(walk.current(), x0);
  EXPECT_EQ(*state.best, x0);
  for (std::size_t k = 1; k <= 50; ++k) {
    double widest = 0.0;
    for (double v : seen[k]) widest = std::fmax(widest, std::fabs(v));
    const double t = 3.0 / double(k);
    EXPECT_LT(widest, t) << k;
    EXPECT_GT(widest, 0.8 * t) << k;  // 40 draws nearly fill [-T, T)
  }
}

TEST(SimulatedAnnealing, LevelStepsPassHalfTheTime) {
  // The logistic rule accepts a step of equal cost with probability 1/2
  // (Metropolis would accept it always).
  auto flat = [](std::span<const double>) { return 1.0; };
  ChaChaRng steps = ChaChaRng::seed_from_u64(3), accept = ChaChaRng::seed_from_u64(4);
  SimulatedAnnealing walk(flat, {0.0, 0.0}, 1.0, steps, accept);
  SolverState state;
  walk.init(state);
  int moves = 0;
  constexpr int kSteps = 4000;
  for (int k = 0; k < kSteps; ++k) {
    const std::vector<double> before = walk.current();
    walk.step(state);
    moves += walk.current() != before;
  }
  EXPECT_NEAR(double(moves) / kSteps, 0.5, 0.03);
}

TEST(SimulatedAnnealing, UphillStepsFollowTheLogisticRule) {
  // Every proposal costs 1 more than x0 at T = 1 / k: accepted with
  // probability 1 / (1 + e^k), so almost only in the first iterations.
  auto cost = [](std::span<const double> x) { return x[0] == 0.0 ? 0.0 : 1.0; };
  int moves_at_t1 = 0;
  for (std::uint64_t seed = 0; seed < 2000; ++seed) {
    ChaChaRng steps = ChaChaRng::seed_from_u64(seed), accept = ChaChaRng::seed_from_u64(seed + 1);
    SimulatedAnnealing walk(cost, {0.0}, 1.0, steps, accept);
    SolverState state;
    walk.init(state);
    walk.step(state);
    moves_at_t1 += walk.current()[0] != 0.0;
  }
  EXPECT_NEAR(moves_at_t1 / 2000.0, 1.0 / (1.0 + std::exp(1.0)), 0.025);
}

TEST(DifferentialEvolution, CountsEvaluationsAndLeavesTheBoxWhenTheMinimumIsOutside) {
  // jDE places its population in the box but never clamps trials, so it
  // can walk to a minimum beyond it.
  auto cost = [](std::span<const float> x) { return (x[0] - 2.5f) * (x[0] - 2.5f) + (x[1] + 1.5f) * (x[1] + 1.5f); };
  const std::vector<float> lower = {0.0f, 0.0f}, upper = {1.0f, 1.0f};
  DifferentialEvolution population(cost, lower, upper, XorShiftRng::from_entropy());
  for (int k = 0; k < 20000; ++k) population.evaluate_next();
  EXPECT_EQ(population.evaluations(), 20000u);
  ASSERT_TRUE(population.best_position());
  EXPECT_NEAR((*population.best_position())[0], 2.5f, 1e-3f);
  EXPECT_NEAR((*population.best_position())[1], -1.5f, 1e-3f);
}

TEST(DifferentialEvolution, FirstScoredTrialIsTheBestEvenWhenNaN) {
  auto cost = [](std::span<const float>) { return std::numeric_limits<float>::quiet_NaN(); };
  DifferentialEvolution population(cost, std::vector{0.0f}, std::vector{1.0f}, XorShiftRng::from_entropy());
  population.evaluate_next();
  ASSERT_TRUE(population.best_position());
  const float first = population.best_position()->front();
  for (int k = 0; k < 300; ++k) population.evaluate_next();
  EXPECT_EQ(population.best_position()->front(), first);
}

}  // namespace
}  // namespace kelvara

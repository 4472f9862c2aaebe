// Internals of the fitting methods: plausibility, bounds, the Jacobian, and
// the iterative solvers behind the global methods on cost functions whose
// minima and evaluation counts are known. Recovery of the registry circuits
// is checked from Python.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fit/chacha_rng.hpp"
#include "fit/differential_evolution.hpp"
#include "fit/driver.hpp"
#include "fit/jacobian.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/nelder_mead.hpp"
#include "fit/particle_swarm.hpp"
#include "fit/simulated_annealing.hpp"
#include "fit/solver_state.hpp"
#include "test_support.hpp"

namespace kelvara {
namespace {

TEST(Plausibility, RejectsExponentsWithinAMillionthOfTheirBounds) {
  const auto bounds = param_bounds(parsed("R0-(R1,CPE1)"));
  const std::vector<double> p0 = {1.0, 1.0, 1e-3, 0.8};
  EXPECT_TRUE(is_plausible(p0, p0, bounds));
  EXPECT_FALSE(is_plausible(std::vector<double>{1.0, 1.0, 1e-3, 1.0 - 5e-7}, p0, bounds));
  EXPECT_FALSE(is_plausible(std::vector<double>{1.0, 1.0, 1e-3, 5e-7}, p0, bounds));
  // Log-scaled parameters: six decades from the start is too far.
  EXPECT_FALSE(is_plausible(std::vector<double>{1e6, 1.0, 1e-3, 0.8}, p0, bounds));
  EXPECT_TRUE(is_plausible(std::vector<double>{9e5, 1.0, 1e-3, 0.8}, p0, bounds));
  EXPECT_FALSE(is_plausible(std::vector<double>{1e-10, 1.0, 1e-3, 0.8}, p0, bounds));
}

TEST(LevenbergMarquardtFit, ClampsAnExponentBeyondItsBoundAndRefitsWithItHeld) {
  // A pure capacitor measured through a CPE: the exponent wants to reach 1.
  const SeriesList shape = parsed("R0-(R1,CPE1)");
  const auto f = log_frequencies(1e4, 1e-1, 40);
  const auto z = spectrum_of(rebuild(parsed("R0-(R1,C1)"), std::vector<double>{0.5, 2.0, 1e-3}), f);
  const SeriesList nodes = rebuild(shape, std::vector<double>{1.0, 1.0, 2e-3, 0.9});
  auto result = levenberg_marquardt_fit(FitProblem(nodes, f, z, true), LevenbergMarquardtOptions{});
  const FitOutcome& out = std::get<FitOutcome>(result);
  EXPECT_LE(out.params[3], 1.0);
  EXPECT_NEAR(out.params[3], 1.0, 1e-6);
  EXPECT_NEAR(out.params[1], 2.0, 1e-4);
  EXPECT_LT(out.cost, 1e-12);
}

TEST(LevenbergMarquardtSingleStart, SpendsPatienceTimesNPlusOneEvaluations) {
  // From a decade or two off, the run needs 14 evaluations: every budget below runs out.
  const auto f = log_frequencies(1e4, 1e-1, 30);
  const auto z =
      spectrum_of(rebuild(parsed("R0-(R1,C1)"), std::vector<double>{10.0, 100.0, 1e-5}), f);
  const SeriesList nodes = rebuild(parsed("R0-(R1,C1)"), std::vector<double>{1.0, 1000.0, 1e-3});
  const FitProblem problem(nodes, f, z, true);
  const std::vector<std::size_t> every = {0, 1, 2};
  for (std::uint32_t patience : {1u, 2u, 3u}) {
    LmSettings settings;
    settings.patience = patience;
    const LmRun run = levenberg_marquardt_single_start(problem, problem.start, every, {}, settings);
    EXPECT_EQ(run.termination, Termination::LostPatience) << patience;
    EXPECT_EQ(run.evaluations, 4u * patience);
  }
}

// Data whose unconstrained optimum has CPE1.alpha = 1.1, beyond its bound:
// the clamp of that optimum is not the bounded optimum, and nothing inside
// the box reaches the optimum's own cost.
struct SettleCase {
  const char* name;
  std::vector<double> best;
  Termination termination;
};

class SettleOnBounds : public ::testing::TestWithParam<SettleCase> {};

TEST_P(SettleOnBounds, NeverCostsMoreThanThePlainClamp) {
  const SeriesList shape = parsed("R0-(R1,CPE1)");
  const std::vector<double> truth = {0.5, 2.0, 1e-3, 1.1};
  const auto f = log_frequencies(1e4, 1e-1, 40);
  const auto z = spectrum_of(rebuild(shape, truth), f);
  const FitProblem problem(shape, f, z, true);
  const auto& bounds = problem.bounds;

  const SettleCase& c = GetParam();
  std::vector<double> clamped = c.best;
  clamp_into_bounds(clamped, bounds);
  const double clamp_cost = cost_at(problem, clamped);
  const Settled settled = settle_on_bounds(problem, c.best, c.termination, LmSettings{});
  const double cost = cost_at(problem, settled.params);
  EXPECT_LE(cost, clamp_cost);
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    EXPECT_TRUE(settled.params[i] >= bounds[i].lo && settled.params[i] <= bounds[i].hi) << i;
  }
  if (c.best[3] <= 1.0) {  // inside: nothing to re-fit
    EXPECT_EQ(settled.params, c.best);
    EXPECT_EQ(settled.termination, c.termination);
    EXPECT_EQ(settled.evaluations, 0u);
  } else {  // the held re-fit moves the others to the bounded optimum
    EXPECT_EQ(settled.params[3], 1.0);
    EXPECT_LT(cost, 0.5 * clamp_cost);
    EXPECT_TRUE(is_success(settled.termination));
    EXPECT_GT(settled.evaluations, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Points, SettleOnBounds,
    ::testing::Values(
        SettleCase{"UnconstrainedOptimum", {0.5, 2.0, 1e-3, 1.1}, Termination::Converged},
        SettleCase{"BeyondFromAFailedRun", {0.6, 1.5, 2e-3, 1.3}, Termination::LostPatience},
        SettleCase{"Inside", {0.6, 1.5, 2e-3, 0.9}, Termination::Orthogonal}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunRanking, AFailedRunNeverReplacesASuccessfulOne) {
  // (success, cost) against the best (success, cost).
  EXPECT_FALSE(run_replaces_best(false, 1e-9, true, 1.0));
  EXPECT_TRUE(run_replaces_best(true, 1.0, false, 1e-9));
  EXPECT_TRUE(run_replaces_best(true, 0.5, true, 1.0));
  EXPECT_FALSE(run_replaces_best(true, 1.0, true, 1.0));  // ties keep the earlier run
  EXPECT_TRUE(run_replaces_best(false, 0.5, false, 1.0));
}

TEST(LeastSquares, HeldParametersLeaveTheSolverAndKeepTheirValuesExactly) {
  // The one run over free indices: a held log-scaled value does not even
  // take the round trip through solver coordinates; pinned ones stay in the
  // solver's vector with a zero column and do not move either.
  const auto f = log_frequencies(1e4, 1e-1, 30);
  const auto z =
      spectrum_of(rebuild(parsed("R0-(R1,C1)"), std::vector<double>{10.0, 100.0, 1e-5}), f);
  const SeriesList nodes = rebuild(parsed("R0-(R1,C1)"), std::vector<double>{0.3, 90.0, 2e-5});
  const FitProblem problem(nodes, f, z, true);
  const std::vector<std::size_t> free = {1, 2};
  const LmRun held =
      levenberg_marquardt_single_start(problem, problem.start, free, {}, LmSettings{});
  EXPECT_EQ(held.params[0], 0.3);
  EXPECT_TRUE(is_success(held.termination));
  const bool pinned[3] = {false, true, false};
  const LmRun pin = levenberg_marquardt_single_start(
      problem, problem.start, std::vector<std::size_t>{0, 1, 2}, pinned, LmSettings{});
  EXPECT_NEAR(pin.params[1], 90.0, 1e-9);
  // Nothing free: no run, the start back.
  const LmRun none = levenberg_marquardt_single_start(problem, problem.start, {}, {}, LmSettings{});
  EXPECT_EQ(none.termination, Termination::WrongDimensions);
  EXPECT_EQ(none.params, problem.start);
}

TEST(Jacobian, CentralDifferenceStepIsRelativeWithAFloor) {
  // Z = R: d(residual)/dR = 1 / w exactly, whatever the step.
  const SeriesList tree = parsed("R0-L1");
  const std::vector<Complex> z = {{1.0, 1.0}, {1.0, 2.0}};
  const auto bounds = param_bounds(tree);
  FitProblem problem(tree, std::vector<double>(2), z, false);
  problem.omegas = {1.0, 2.0};
  problem.weights = {1.0, 2.0};
  const Eigen::MatrixXd j = jacobian_columns(problem, std::vector<double>{0.0, 1e6});
  EXPECT_EQ(problem.counter.load(), 4u);
  ASSERT_EQ(j.rows(), 4);
  ASSERT_EQ(j.cols(), 2);
  // p = 0 still gets a (tiny) step: finite, with rounding error ~1e-16 / 6e-14.
  EXPECT_NEAR(j(0, 0), 1.0, 1e-3);
  EXPECT_NEAR(j(2, 0), 0.5, 1e-3);
  EXPECT_NEAR(j(1, 1), 1.0, 1e-9);  // d(omega L)/dL = omega
  EXPECT_NEAR(j(3, 1), 1.0, 1e-9);  // 2 / w = 1

  // In solver coordinates: a log-scaled column is scaled by (p - lo) ln 10,
  // a held column is exactly zero.
  const std::vector<double> p = {2.0, 3.0};
  const auto x = to_solver_coordinates(bounds, p);
  const bool held[] = {false, true};
  const Eigen::MatrixXd js = solver_jacobian(problem, x, held);
  const Eigen::MatrixXd jp = jacobian_columns(problem, physical(bounds, x));
  EXPECT_DOUBLE_EQ(js(0, 0), jp(0, 0) * (physical(bounds, x)[0] - 1e-12) * kLn10);
  EXPECT_TRUE(js.col(1).isZero(0.0));
}

TEST(SolverCoordinates, ValuesAtOrBelowTheLowerBoundMapToMinus300) {
  const std::vector<Bounds> bounds = {{1e-12, INFINITY}, {0.0, 1.0}};
  const auto x = to_solver_coordinates(bounds, std::vector<double>{1e-12, 0.5});
  EXPECT_EQ(x, (std::vector<double>{-300.0, 0.5}));
  EXPECT_EQ(physical(bounds, x)[0], 1e-300 + 1e-12);
  EXPECT_EQ(to_solver_coordinates(bounds, std::vector<double>{std::nan(""), 0.5})[0], -300.0);
}

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

TEST(NelderMead, ZeroIterationsEvaluatesTheInitialSimplexAndKeepsItsBestVertex) {
  // Each vertex adds a tenth of its coordinate's magnitude, or an absolute
  // tenth to a zero or tiny one, whatever the sign.
  std::vector<std::vector<double>> seen;
  const std::vector<double> x0 = {-5.0, 0.0, 1e-9, 2.0};
  NelderMead simplex(RecordingQuadratic{{-5.0, 1.0, 0.0, 2.0}, &seen},
                     NelderMead::initial_simplex(x0));
  const SolverState state = run_solver(simplex, 0);
  const std::vector<double> steps = {0.5, 0.1, 0.1, 0.2};
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0], x0);
  for (std::size_t i = 0; i < x0.size(); ++i) {
    std::vector<double> expected = x0;
    expected[i] += steps[i];
    EXPECT_EQ(seen[i + 1], expected) << i;
  }
  EXPECT_EQ(state.iterations, 0u);
  EXPECT_EQ(*state.best, seen[2]);  // the vertex nearest the centre
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
  auto cost = [](std::span<const double> x) {
    return x[0] < 0.0 ? kNaN : (x[0] - 2.0) * (x[0] - 2.0);
  };
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

TEST(SimulatedAnnealing, FirstStepsFollowTheLogisticRule) {
  // At T = T0 = 1 a proposal that costs `rise` more than x0 is accepted with
  // probability 1 / (1 + e^rise): half the level steps, which Metropolis would
  // always accept.
  for (double rise : {0.0, 1.0}) {
    auto cost = [rise](std::span<const double> x) { return x[0] == 0.0 ? 0.0 : rise; };
    int moves = 0;
    for (std::uint64_t seed = 0; seed < 2000; ++seed) {
      ChaChaRng steps = ChaChaRng::seed_from_u64(seed), accept = ChaChaRng::seed_from_u64(seed + 1);
      SimulatedAnnealing walk(cost, {0.0}, 1.0, steps, accept);
      SolverState state;
      walk.init(state);
      walk.step(state);
      moves += walk.current()[0] != 0.0;
    }
    EXPECT_NEAR(moves / 2000.0, 1.0 / (1.0 + std::exp(rise)), 0.025) << rise;
  }
}

TEST(DifferentialEvolution, CountsEvaluationsAndLeavesTheBoxWhenTheMinimumIsOutside) {
  // jDE places its population in the box but never clamps trials, so it
  // can walk to a minimum beyond it.
  auto cost = [](std::span<const float> x) {
    return (x[0] - 2.5f) * (x[0] - 2.5f) + (x[1] + 1.5f) * (x[1] + 1.5f);
  };
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
  DifferentialEvolution population(cost, std::vector{0.0f}, std::vector{1.0f},
                                   XorShiftRng::from_entropy());
  population.evaluate_next();
  ASSERT_TRUE(population.best_position());
  const float first = population.best_position()->front();
  for (int k = 0; k < 300; ++k) population.evaluate_next();
  EXPECT_EQ(population.best_position()->front(), first);
}

TEST(FitInputs, StartWithEveryResistanceAtItsLowerBoundIsRefusedNamingThem) {
  const auto f = log_frequencies(1e4, 1e-2, 20);
  const auto z =
      spectrum_of(rebuild(parsed("R0-(R1,CPE1)"), std::vector<double>{0.02, 0.05, 0.5, 0.85}), f);
  const struct {
    const char* circuit;
    std::vector<double> start;
    const char* stuck;  // null: accepted
  } cases[] = {
      {"R0-(R1,CPE1)",
       {0, 0, 0, 0},
       "every resistance starts at or below its lower bound, from where no fit can "
       "move it: R0.r = 0.0, R1.r = 0.0"},
      {"R0-(R1,CPE1)",
       {-1, 1e-12, 0.5, 0.85},
       "every resistance starts at or below its lower bound, from where no "
       "fit can move it: R0.r = -1.0, R1.r = 1e-12"},
      {"L0-C1",
       {0, 0},
       "every log-scaled parameter starts at or below its lower bound, from where no fit can move "
       "it: L0.l = 0.0, C1.c = 0.0"},
      // One resistance above its bound is something to move from.
      {"R0-(R1,CPE1)", {0, 2e-12, 0.5, 0.85}, nullptr},
      {"L0-C1", {0, 1e-5}, nullptr},
  };
  for (const auto& c : cases) {
    const auto error = check_fit_inputs(rebuild(parsed(c.circuit), c.start), f, z);
    if (!c.stuck) {
      EXPECT_FALSE(error) << c.circuit << ": " << error->message();
      continue;
    }
    ASSERT_TRUE(error) << c.circuit;
    EXPECT_EQ(error->kind, FitError::Kind::InvalidStart);
    EXPECT_EQ(error->message(), c.stuck);
  }
}

// One parameter at its floor is as stuck as all of them: the plain fit
// refuses it (the engine's search has starts of its own).
TEST(FitInputs, AStartWithAnyParameterAtItsFloorIsRefusedByThePlainFit) {
  const auto f = log_frequencies(1e4, 1e-2, 20);
  const auto z =
      spectrum_of(rebuild(parsed("R0-(R1,CPE1)"), std::vector<double>{0.02, 0.05, 0.5, 0.85}), f);
  for (const std::vector<double>& start :
       {std::vector<double>{0, 0.1, 1, 0.8}, std::vector<double>{0.05, 1e-12, 1, 0.8},
        std::vector<double>{0.05, 0.1, 0, 0.8}}) {
    const auto result = run_fit(rebuild(parsed("R0-(R1,CPE1)"), start), f, z, {});
    const auto* error = std::get_if<FitError>(&result);
    ASSERT_TRUE(error) << start[0] << " " << start[1] << " " << start[2];
    EXPECT_EQ(error->kind, FitError::Kind::InvalidStart);
    EXPECT_NE(error->message().find("where no fit can move it"), std::string::npos);
  }
  const auto moved =
      run_fit(rebuild(parsed("R0-(R1,CPE1)"), std::vector<double>{0.05, 2e-12, 1, 0.8}), f, z, {});
  EXPECT_TRUE(std::holds_alternative<FitOutcome>(moved));
}

// One point that is no measurement: a search can find a model finite there
// (an exponent of 0 makes a CPE ignore the frequency), but no method may
// call its fit a success. A global method that never saw a comparable cost
// says so with its solver error instead.
class PointThatIsNoMeasurement : public testing::TestWithParam<std::tuple<const char*, double>> {};

TEST_P(PointThatIsNoMeasurement, FailsEveryMethodAlike) {
  const auto [method, bad] = GetParam();
  auto f = log_frequencies(1e4, 1e-2, 30);
  const auto z =
      spectrum_of(rebuild(parsed("R0-(R1,CPE1)"), std::vector<double>{0.02, 0.05, 0.5, 0.85}), f);
  f[10] = bad;
  FitOptions options;
  options.method = method;
  options.seed = 1;
  options.num_particles = 30;
  options.generations = 40;
  options.de_evaluations = 2000;
  options.nelder_mead_iterations = 300;
  options.sa_iterations = 300;
  options.basin_hopping_hops = 2;
  const SeriesList start =
      rebuild(parsed("R0-(R1,CPE1)"), std::vector<double>{0.03, 0.06, 0.4, 0.8});
  const auto result = run_fit(start, f, z, options);
  if (const auto* error = std::get_if<FitError>(&result)) {
    EXPECT_EQ(error->kind, FitError::Kind::Solver) << error->message();
    EXPECT_NE(error->message().find("found no best position"), std::string::npos);
    EXPECT_NE(std::string(method), "levenberg_marquardt");
    return;
  }
  const auto& outcome = std::get<FitOutcome>(result);
  EXPECT_FALSE(outcome.success) << "cost " << outcome.cost;
}

// A NaN cost everywhere leaves a global method without a best position: it
// says so in its own words rather than reporting the start as a result.
TEST(GlobalMethods, WithoutAComparableCostEndInTheirSolverError) {
  auto f = log_frequencies(1e4, 1e-2, 30);
  auto z =
      spectrum_of(rebuild(parsed("R0-(R1,CPE1)"), std::vector<double>{0.02, 0.05, 0.5, 0.85}), f);
  z[3] = {std::nan(""), 0.0};
  const SeriesList start =
      rebuild(parsed("R0-(R1,CPE1)"), std::vector<double>{0.03, 0.06, 0.4, 0.8});
  // Differential evolution keeps its first scored trial, NaN or not.
  for (const char* method : {"particle_swarm", "nelder_mead", "simulated_annealing"}) {
    FitOptions options;
    options.method = method;
    options.seed = 1;
    options.num_particles = 5, options.generations = 3;
    options.nelder_mead_iterations = 5, options.sa_iterations = 5;
    const auto result = run_fit(start, f, z, options);
    const auto* error = std::get_if<FitError>(&result);
    ASSERT_TRUE(error) << method << " reported an outcome";
    std::string name = method;
    std::replace(name.begin(), name.end(), '_', name == "nelder_mead" ? '-' : ' ');
    EXPECT_EQ(error->message(), "solver error: " + name + " found no best position");
  }
}

// 0 ohm at a point is no measurement: an all-zero spectrum fits nothing.
TEST(FitInputs, AllZeroImpedanceIsNeverASuccess) {
  const auto f = log_frequencies(1e4, 1e-2, 20);
  const std::vector<Complex> z(f.size());
  const auto result =
      run_fit(rebuild(parsed("R0-(R1,CPE1)"), std::vector<double>{1, 1, 1e-3, 0.8}), f, z, {});
  ASSERT_TRUE(std::holds_alternative<FitOutcome>(result));
  EXPECT_FALSE(std::get<FitOutcome>(result).success);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, PointThatIsNoMeasurement,
    testing::Combine(
        testing::Values("levenberg_marquardt", "particle_swarm", "nelder_mead",
                        "differential_evolution", "simulated_annealing", "basin_hopping"),
        testing::Values(std::nan(""), 0.0, -5.0, std::numeric_limits<double>::infinity())));

}  // namespace
}  // namespace kelvara

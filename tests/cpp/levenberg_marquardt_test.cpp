// Internals of the default fitting method: plausibility, bounds, the Jacobian, the outcome.
// Recovery of the registry circuits is checked from Python.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "circuit/parser.hpp"
#include "circuit/spectrum_eval.hpp"
#include "circuit/tree.hpp"
#include "fit/jacobian.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace kelvara {
namespace {

SeriesList parsed(std::string_view text) {
  auto r = parse(text);
  EXPECT_FALSE(r.error) << text;
  return r.tree;
}

std::vector<double> log_frequencies(double hi, double lo, int n) {
  std::vector<double> f(n);
  for (int i = 0; i < n; ++i) f[i] = hi * std::pow(lo / hi, double(i) / (n - 1));
  return f;
}

std::vector<Complex> spectrum_of(const SeriesList& tree, const std::vector<double>& f) {
  std::vector<Complex> z(f.size());
  impedance_spectrum(tree, f, z);
  return z;
}

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
    ::testing::Values(SettleCase{"UnconstrainedOptimum", {0.5, 2.0, 1e-3, 1.1}, Termination::Converged},
                      SettleCase{"BeyondFromAFailedRun", {0.6, 1.5, 2e-3, 1.3}, Termination::LostPatience},
                      SettleCase{"Inside", {0.6, 1.5, 2e-3, 0.9}, Termination::Orthogonal}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Jacobian, CentralDifferenceStepIsRelativeWithAFloor) {
  // Z = R: d(residual)/dR = 1 / w exactly, whatever the step.
  const SeriesList tree = parsed("R0-L1");
  const std::vector<double> omegas = {1.0, 2.0};
  const std::vector<Complex> z = {{1.0, 1.0}, {1.0, 2.0}};
  const std::vector<double> w = {1.0, 2.0};
  const auto bounds = param_bounds(tree);
  FitProblem problem(tree, std::vector<double>(2), z, false);
  problem.omegas = omegas;
  problem.weights = w;
  const EvalCounter& counter = problem.counter;
  const Eigen::MatrixXd j = jacobian_columns(problem, std::vector<double>{0.0, 1e6});
  EXPECT_EQ(counter.load(), 4u);
  ASSERT_EQ(j.rows(), 4);
  ASSERT_EQ(j.cols(), 2);
  // p = 0 still gets a (tiny) step: finite, with rounding error ~1e-16 / 6e-14.
  EXPECT_NEAR(j(0, 0), 1.0, 1e-3);
  EXPECT_NEAR(j(2, 0), 0.5, 1e-3);
  EXPECT_NEAR(j(1, 1), 1.0, 1e-9);   // d(omega L)/dL = omega
  EXPECT_NEAR(j(3, 1), 1.0, 1e-9);   // 2 / w = 1

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

TEST(BuildOutcome, StandardErrorsAbsentWithoutDegreesOfFreedomOrWhenSingular) {
  const SeriesList tree = parsed("R0-(R1,C1)");
  const auto bounds = param_bounds(tree);
  auto outcome_for = [&](const SeriesList& nodes, std::vector<double> f) {
    const auto z = spectrum_of(rebuild(tree, std::vector<double>{1.0, 2.0, 1e-3}), f);
    const FitProblem problem(nodes, f, z, true);
    auto out = build_outcome(problem, param_values(nodes), true, Termination::Converged, 0);
    EXPECT_EQ(out.impedance_evals, 1 + 2 * param_values(nodes).size());
    return out;
  };
  // Too few residuals are checked from Python; R1 and R2 in series are
  // indistinguishable, so J^T J is singular.
  EXPECT_TRUE(outcome_for(tree, {1.0, 10.0, 100.0}).stderr_values);
  EXPECT_FALSE(outcome_for(parsed("R1-R2"), {1.0, 10.0, 100.0}).stderr_values);
}

TEST(GeneralInverse, FailsOnlyOnExactSingularity) {
  for (int n = 1; n <= 6; ++n) {
    Eigen::MatrixXd a = Eigen::MatrixXd::Identity(n, n) * 2.0;
    a(0, n - 1) += 0.5;
    const auto inv = general_inverse(a);
    ASSERT_TRUE(inv) << n;
    EXPECT_TRUE((a * *inv).isIdentity(1e-14)) << n;
    a.row(n - 1).setZero();
    EXPECT_FALSE(general_inverse(a)) << n;
  }
}

TEST(PsoSearchBox, SpansFourDecadesAroundTheStartOfLogScaledParameters) {
  const std::vector<Bounds> bounds = {{1e-12, INFINITY}, {0.0, 1.0}};
  const auto [lower, upper] = pso_search_box(bounds, std::vector<double>{0.0, 0.5});
  EXPECT_DOUBLE_EQ(lower[0], std::log10(1e-10 - 1e-12));
  EXPECT_DOUBLE_EQ(upper[0], std::log10(0.01 - 1e-12));
  EXPECT_EQ(lower[1], 0.0);
  EXPECT_EQ(upper[1], 1.0);
}

}  // namespace
}  // namespace kelvara

#include "fit/levenberg_marquardt.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <unsupported/Eigen/LevenbergMarquardt>

#include "circuit/tree.hpp"
#include "fit/jacobian.hpp"
#include "support/invariant.hpp"
#include "support/total_order.hpp"

namespace kelvara {
namespace {

// The least-squares problem as Eigen's solver sees it. A non-finite residual
// or Jacobian entry asks the solver to stop, which ends the run as
// unsuccessful instead of letting NaN steer it.
struct LmFunctor : Eigen::DenseFunctor<double> {
  LmFunctor(const FitProblem& problem, std::span<const bool> held, int n)
      : Eigen::DenseFunctor<double>(n, int(2 * problem.points())),
        problem(problem),
        held(held),
        params(n) {}

  int operator()(const Eigen::VectorXd& x, Eigen::VectorXd& fvec) {
    problem.interrupt.poll();
    physical_into(problem.bounds, {x.data(), std::size_t(x.size())}, params);
    fvec.resize(values());
    residuals_into(problem, params, {fvec.data(), std::size_t(fvec.size())});
    return fvec.allFinite() ? 0 : -1;
  }

  int df(const Eigen::VectorXd& x, Eigen::MatrixXd& fjac) const {
    fjac = solver_jacobian(problem, {x.data(), std::size_t(x.size())}, held);
    return fjac.allFinite() ? 0 : -1;
  }

  const FitProblem& problem;
  std::span<const bool> held;
  std::vector<double> params;  // physical values, reused by every evaluation
};

struct Candidate {
  std::vector<double> params;
  double cost;
};

struct Best {
  std::vector<double> params;
  double cost;
  Termination termination;
  bool success() const { return is_success(termination); }
};

}  // namespace

Termination termination_of(Eigen::LevenbergMarquardtSpace::Status status, double fnorm) {
  using S = Eigen::LevenbergMarquardtSpace::Status;
  switch (status) {
    case S::RelativeReductionTooSmall:
    case S::RelativeErrorTooSmall:
    case S::RelativeErrorAndReductionTooSmall:
      return Termination::Converged;
    case S::CosinusTooSmall:
      return fnorm == 0.0 ? Termination::ResidualsZero : Termination::Orthogonal;
    case S::TooManyFunctionEvaluation:
      return Termination::LostPatience;
    case S::FtolTooSmall:
    case S::XtolTooSmall:
    case S::GtolTooSmall:
      return Termination::NoImprovementPossible;
    case S::UserAsked:
      return Termination::Numerical;
    default:
      return Termination::WrongDimensions;
  }
}

LmRun levenberg_marquardt_single_start(const FitProblem& problem, std::span<const double> x0,
                                       std::span<const bool> held, const LmSettings& settings) {
  const Eigen::Index n = Eigen::Index(x0.size());
  Eigen::VectorXd x = Eigen::Map<const Eigen::VectorXd>(x0.data(), n);
  LmRun run{{}, Termination::WrongDimensions, 0};
  if (n > 0 && 2 * problem.points() >= std::size_t(n)) {
    LmFunctor functor(problem, held, int(n));
    Eigen::LevenbergMarquardt<LmFunctor> lm(functor);
    lm.setFtol(settings.ftol);
    lm.setXtol(settings.xtol);
    lm.setGtol(settings.gtol);
    lm.setFactor(100.0);
    lm.setMaxfev(Eigen::Index(std::max<std::uint32_t>(settings.patience, 1)) * (n + 1));
    const auto status = lm.minimize(x);
    run.termination = termination_of(status, lm.fnorm());
    run.evaluations = std::uint64_t(lm.nfev());
  }
  run.params = physical(problem.bounds, {x.data(), std::size_t(n)});
  return run;
}

std::vector<std::vector<double>> candidate_starting_points(std::span<const double> p0,
                                                           std::span<const Bounds> bounds) {
  // Open-bounded (log-scaled) parameters are scaled around the start;
  // bounded ones are spread across their box. Each row moves one kind only.
  static constexpr double kScales[] = {1.0, 3.0, 0.3333333333333333, 8.0, 0.125};
  static constexpr double kFractions[] = {0.2, 0.4, 0.6, 0.8};
  std::vector<std::vector<double>> out;
  for (double scale : kScales) {
    std::vector<double> c(p0.begin(), p0.end());
    for (std::size_t i = 0; i < std::min(c.size(), bounds.size()); ++i) {
      if (is_log_scaled(bounds[i]) && scale != 1.0) c[i] = p0[i] * scale;
    }
    out.push_back(std::move(c));
  }
  for (double fraction : kFractions) {
    std::vector<double> c(p0.begin(), p0.end());
    for (std::size_t i = 0; i < std::min(c.size(), bounds.size()); ++i) {
      if (!is_log_scaled(bounds[i])) c[i] = bounds[i].lo + (bounds[i].hi - bounds[i].lo) * fraction;
    }
    out.push_back(std::move(c));
  }
  return out;
}

bool is_plausible(std::span<const double> p, std::span<const double> p0,
                  std::span<const Bounds> bounds) {
  const std::size_t n = std::min({p0.size(), p.size(), bounds.size()});
  for (std::size_t i = 0; i < n; ++i) {
    const Bounds& b = bounds[i];
    if (!is_log_scaled(b)) {
      const double margin = 1e-6 * (b.hi - b.lo);
      if (!(std::fabs(p[i] - b.lo) > margin && std::fabs(b.hi - p[i]) > margin)) return false;
    } else {
      const double ratio = p[i] / std::fmax(std::fabs(p0[i]), 1e-300);
      if (!(p[i] > 100.0 * b.lo && std::isfinite(ratio) && ratio >= 1e-6 && ratio < 1e6))
        return false;
    }
  }
  return true;
}

bool run_replaces_best(bool success, double cost, bool best_success, double best_cost) {
  return (success && !best_success) || (success == best_success && cost < best_cost);
}

bool refit_beats_clamp(double refit_cost, double clamped_cost) {
  // A NaN clamped cost loses to any number.
  return refit_cost < clamped_cost || (std::isnan(clamped_cost) && !std::isnan(refit_cost));
}

Settled settle_on_bounds(const FitProblem& problem, std::span<const double> best,
                         Termination termination, const LmSettings& settings) {
  const std::span<const Bounds> bounds = problem.bounds;
  Settled out{std::vector<double>(best.begin(), best.end()), termination, 0};
  std::unique_ptr<bool[]> at_bound(new bool[best.size()]());
  bool any_at_bound = false;
  for (std::size_t i = 0; i < std::min(best.size(), bounds.size()); ++i) {
    const Bounds& b = bounds[i];
    at_bound[i] = std::isfinite(b.hi) && (best[i] <= b.lo || best[i] >= b.hi);
    any_at_bound = any_at_bound || at_bound[i];
  }
  clamp_into_bounds(out.params, bounds);
  if (!any_at_bound) return out;

  // The re-fit competes with the clamped point, the one returned otherwise:
  // the unclamped optimum lies outside the box, and no feasible point can
  // beat its cost. Both costs are taken where the outcome would be, inside.
  const double clamped_cost = cost_at(problem, out.params);
  LmRun refit = levenberg_marquardt_single_start(problem, to_solver_coordinates(bounds, out.params),
                                                 {at_bound.get(), best.size()}, settings);
  out.evaluations = refit.evaluations;
  clamp_into_bounds(refit.params, bounds);
  const double cost = cost_at(problem, refit.params);
  if (refit_beats_clamp(cost, clamped_cost)) {
    out.params = std::move(refit.params);
    out.termination = refit.termination;
  }
  return out;
}

FitOutcome multi_start_fit(const FitProblem& problem, std::span<const double> p0,
                           const LmSettings& settings) {
  const std::span<const Bounds> bounds = problem.bounds;
  std::vector<Candidate> candidates;
  for (auto& c : candidate_starting_points(p0, bounds)) {
    const double cost = cost_at(problem, c);
    candidates.push_back({std::move(c), cost});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) {
                     return total_order_key(a.cost) < total_order_key(b.cost);
                   });

  const std::unique_ptr<bool[]> held(new bool[p0.size()]());
  std::uint64_t evaluations = 0;
  std::optional<Best> best;
  for (const Candidate& candidate : candidates) {
    problem.interrupt.poll();
    const std::vector<double> x = to_solver_coordinates(bounds, candidate.params);
    LmRun run = levenberg_marquardt_single_start(problem, x, {held.get(), p0.size()}, settings);
    evaluations += run.evaluations;
    const double cost = cost_at(problem, run.params);
    const bool success = is_success(run.termination);
    if (!best || run_replaces_best(success, cost, best->success(), best->cost)) {
      best = Best{run.params, cost, run.termination};
    }
    if (std::isfinite(cost) && success && is_plausible(run.params, p0, bounds)) break;
  }
  if (!best) invariant_failed("candidate_starting_points always returns at least one candidate");

  Settled settled = settle_on_bounds(problem, best->params, best->termination, settings);
  evaluations += settled.evaluations;
  const bool success = is_success(settled.termination);
  return build_outcome(problem, std::move(settled.params), success, settled.termination,
                       evaluations);
}

FitResultOr<FitOutcome> levenberg_marquardt_fit(const FitProblem& problem,
                                                const LevenbergMarquardtOptions& options) {
  return multi_start_fit(problem, problem.start,
                         LmSettings{options.ftol, options.xtol, 1e-8, options.max_iterations});
}

}  // namespace kelvara

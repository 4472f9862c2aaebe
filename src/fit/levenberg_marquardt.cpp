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

// The least-squares problem as Eigen's solver sees it: the free parameters'
// solver coordinates in, the 2N residuals out. A non-finite residual or
// Jacobian entry asks the solver to stop, which ends the run as unsuccessful
// instead of letting NaN steer it.
struct LmFunctor : Eigen::DenseFunctor<double> {
  LmFunctor(const FitProblem& problem, std::span<const double> start,
            std::span<const std::size_t> free, std::span<const bool> pinned, bool by_element)
      : Eigen::DenseFunctor<double>(int(free.size()), int(2 * problem.points())),
        problem(problem),
        free(free),
        pinned(pinned),
        by_element(by_element),
        params(start.begin(), start.end()) {}

  void place(const Eigen::VectorXd& x) {
    for (std::size_t k = 0; k < free.size(); ++k) {
      params[free[k]] = to_physical(problem.bounds[free[k]], x[Eigen::Index(k)]);
    }
  }

  int operator()(const Eigen::VectorXd& x, Eigen::VectorXd& fvec) {
    problem.interrupt.poll();
    place(x);
    fvec.resize(values());
    residuals_into(problem, params, {fvec.data(), std::size_t(fvec.size())});
    return fvec.allFinite() ? 0 : -1;
  }

  // Pinned columns are differentiated too (and counted): the default fit's
  // evaluation count includes them.
  int df(const Eigen::VectorXd& x, Eigen::MatrixXd& fjac) {
    place(x);
    fjac = by_element ? element_jacobian_columns(problem, params, free)
                      : jacobian_columns(problem, params, free);
    for (std::size_t k = 0; k < free.size(); ++k) {
      const std::size_t j = free[k];
      const Bounds& b = problem.bounds[j];
      if (j < pinned.size() && pinned[j]) {
        fjac.col(Eigen::Index(k)).setZero();
      } else if (is_log_scaled(b)) {
        fjac.col(Eigen::Index(k)) *= (params[j] - b.lo) * kLn10;
      }
    }
    return fjac.allFinite() ? 0 : -1;
  }

  const FitProblem& problem;
  std::span<const std::size_t> free;
  std::span<const bool> pinned;
  bool by_element;
  std::vector<double> params;  // physical, every parameter; reused by every evaluation
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

bool plausible_at(double p, double p0, const Bounds& b) {
  if (!is_log_scaled(b)) {
    const double margin = 1e-6 * (b.hi - b.lo);
    return std::fabs(p - b.lo) > margin && std::fabs(b.hi - p) > margin;
  }
  const double ratio = p / std::fmax(std::fabs(p0), 1e-300);
  return p > 100.0 * b.lo && std::isfinite(ratio) && ratio >= 1e-6 && ratio < 1e6;
}

std::vector<std::size_t> every_index(std::size_t n) {
  std::vector<std::size_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = i;
  return out;
}

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

LmRun levenberg_marquardt_single_start(const FitProblem& problem, std::span<const double> start,
                                       std::span<const std::size_t> free,
                                       std::span<const bool> pinned, const LmSettings& settings,
                                       std::size_t max_evaluations) {
  const Eigen::Index n = Eigen::Index(free.size());
  Eigen::VectorXd x(n);
  for (Eigen::Index k = 0; k < n; ++k) {
    const std::size_t j = free[std::size_t(k)];
    x[k] = to_solver_coordinate(problem.bounds[j], start[j]);
  }
  LmRun run{{start.begin(), start.end()}, Termination::WrongDimensions, 0};
  if (n > 0 && 2 * problem.points() >= std::size_t(n)) {
    LmFunctor functor(problem, start, free, pinned, settings.by_element);
    Eigen::LevenbergMarquardt<LmFunctor> lm(functor);
    lm.setFtol(settings.ftol);
    lm.setXtol(settings.xtol);
    lm.setGtol(settings.gtol);
    lm.setFactor(100.0);
    const Eigen::Index budget =
        max_evaluations > 0 ? Eigen::Index(max_evaluations)
                            : Eigen::Index(std::max<std::uint32_t>(settings.patience, 1)) * (n + 1);
    lm.setMaxfev(budget);
    const auto status = lm.minimize(x);
    run.termination = termination_of(status, lm.fnorm());
    run.evaluations = std::uint64_t(lm.nfev());
  }
  // Read back from the solver's vector, as the default fit always has (a
  // log-scaled start does not survive the round trip bit for bit).
  for (Eigen::Index k = 0; k < n; ++k) {
    const std::size_t j = free[std::size_t(k)];
    run.params[j] = to_physical(problem.bounds[j], x[k]);
  }
  return run;
}

std::vector<std::size_t> free_indices(std::span<const bool> held) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (!held[i]) out.push_back(i);
  }
  return out;
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
    if (!plausible_at(p[i], p0[i], bounds[i])) return false;
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
                         Termination termination, std::span<const std::size_t> free,
                         const LmSettings& settings) {
  const std::span<const Bounds> bounds = problem.bounds;
  Settled out{std::vector<double>(best.begin(), best.end()), termination, 0, 0};
  std::unique_ptr<bool[]> at_bound(new bool[best.size()]());
  bool any_at_bound = false;
  for (const std::size_t i : free) {
    if (i >= bounds.size() || i >= best.size()) continue;
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
  LmRun refit = levenberg_marquardt_single_start(problem, out.params, free,
                                                 {at_bound.get(), best.size()}, settings);
  out.evaluations = refit.evaluations;
  out.runs = 1;
  clamp_into_bounds(refit.params, bounds);
  const double cost = cost_at(problem, refit.params);
  if (refit_beats_clamp(cost, clamped_cost)) {
    out.params = std::move(refit.params);
    out.termination = refit.termination;
  }
  return out;
}

Settled settle_on_bounds(const FitProblem& problem, std::span<const double> best,
                         Termination termination, const LmSettings& settings) {
  return settle_on_bounds(problem, best, termination, every_index(best.size()), settings);
}

Settled multi_start(const FitProblem& problem, std::span<const double> p0,
                    std::span<const bool> held, const LmSettings& settings) {
  const std::span<const Bounds> bounds = problem.bounds;
  const std::vector<std::size_t> free = held.empty() ? every_index(p0.size()) : free_indices(held);
  std::vector<Candidate> candidates;
  for (auto& c : candidate_starting_points(p0, bounds)) {
    for (std::size_t i = 0; i < std::min(held.size(), c.size()); ++i) {
      if (held[i]) c[i] = p0[i];
    }
    const double cost = cost_at(problem, c);
    candidates.push_back({std::move(c), cost});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) {
                     return total_order_key(a.cost) < total_order_key(b.cost);
                   });

  std::uint64_t evaluations = 0;
  std::uint32_t runs = 0;
  std::optional<Best> best;
  for (const Candidate& candidate : candidates) {
    problem.interrupt.poll();
    LmRun run = levenberg_marquardt_single_start(problem, candidate.params, free, {}, settings);
    evaluations += run.evaluations;
    ++runs;
    const double cost = cost_at(problem, run.params);
    const bool success = is_success(run.termination);
    if (!best || run_replaces_best(success, cost, best->success(), best->cost)) {
      best = Best{run.params, cost, run.termination};
    }
    const bool plausible = std::all_of(free.begin(), free.end(), [&](std::size_t i) {
      return i >= bounds.size() || plausible_at(run.params[i], p0[i], bounds[i]);
    });
    if (std::isfinite(cost) && success && plausible) break;
  }
  if (!best) invariant_failed("candidate_starting_points always returns at least one candidate");

  Settled settled = settle_on_bounds(problem, best->params, best->termination, free, settings);
  settled.evaluations += evaluations;
  settled.runs += runs;
  return settled;
}

FitOutcome multi_start_fit(const FitProblem& problem, std::span<const double> p0,
                           const LmSettings& settings) {
  Settled settled = multi_start(problem, p0, {}, settings);
  const bool success = is_success(settled.termination);
  return build_outcome(problem, std::move(settled.params), success, settled.termination,
                       settled.evaluations);
}

FitResultOr<FitOutcome> levenberg_marquardt_fit(const FitProblem& problem,
                                                const LevenbergMarquardtOptions& options) {
  return multi_start_fit(problem, problem.start,
                         LmSettings{options.ftol, options.xtol, 1e-8, options.max_iterations});
}

}  // namespace kelvara

#include "fit/free_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <unsupported/Eigen/LevenbergMarquardt>

#include "circuit/tree.hpp"
#include "fit/jacobian.hpp"
#include "support/invariant.hpp"
#include "support/total_order.hpp"

namespace kelvara {
namespace {

// Solver coordinate of one parameter, and back (see residuals.hpp).
double to_solver(const Bounds& b, double p) { return is_log_scaled(b) ? std::log10(p - b.lo) : p; }
double to_physical(const Bounds& b, double x) {
  return is_log_scaled(b) ? b.lo + std::pow(10.0, x) : x;
}

// The least-squares problem in the free dimensions. A non-finite residual or
// Jacobian entry stops the run as unsuccessful, as in the default fit.
struct FreeFunctor : Eigen::DenseFunctor<double> {
  FreeFunctor(const FitProblem& problem, std::span<const double> start,
              std::span<const std::size_t> free)
      : Eigen::DenseFunctor<double>(int(free.size()), int(2 * problem.points())),
        problem(problem),
        free(free),
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

  int df(const Eigen::VectorXd& x, Eigen::MatrixXd& fjac) {
    place(x);
    fjac = jacobian_columns(problem, params, free);
    for (std::size_t k = 0; k < free.size(); ++k) {
      const Bounds& b = problem.bounds[free[k]];
      if (is_log_scaled(b)) fjac.col(Eigen::Index(k)) *= (params[free[k]] - b.lo) * kLn10;
    }
    return fjac.allFinite() ? 0 : -1;
  }

  const FitProblem& problem;
  std::span<const std::size_t> free;
  std::vector<double> params;  // physical, every parameter
};

struct Best {
  std::vector<double> params;
  double cost;
  Termination termination;
  bool success() const { return is_success(termination); }
};

// The default fit's plausibility test on the free parameters alone: a held
// parameter may sit on its bound by the caller's choice.
bool free_plausible(std::span<const double> p, std::span<const double> p0,
                    std::span<const Bounds> bounds, std::span<const std::size_t> free) {
  std::vector<double> fp, fp0;
  std::vector<Bounds> fb;
  for (const std::size_t j : free) {
    fp.push_back(p[j]);
    fp0.push_back(p0[j]);
    fb.push_back(bounds[j]);
  }
  return is_plausible(fp, fp0, fb);
}

}  // namespace

std::vector<std::size_t> free_indices(std::span<const bool> held) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (!held[i]) out.push_back(i);
  }
  return out;
}

LmRun free_single_start(const FitProblem& problem, std::span<const double> start,
                        std::span<const std::size_t> free, const LmSettings& settings,
                        std::size_t max_evaluations) {
  const Eigen::Index n = Eigen::Index(free.size());
  LmRun run{{start.begin(), start.end()}, Termination::WrongDimensions, 0};
  if (n == 0 || 2 * problem.points() < std::size_t(n)) return run;
  Eigen::VectorXd x(n);
  for (Eigen::Index k = 0; k < n; ++k) {
    x[k] = to_solver(problem.bounds[free[std::size_t(k)]], start[free[std::size_t(k)]]);
  }
  FreeFunctor functor(problem, start, free);
  Eigen::LevenbergMarquardt<FreeFunctor> lm(functor);
  lm.setFtol(settings.ftol);
  lm.setXtol(settings.xtol);
  lm.setGtol(settings.gtol);
  lm.setFactor(100.0);
  const std::size_t budget =
      max_evaluations > 0
          ? max_evaluations
          : std::size_t(std::max<std::uint32_t>(settings.patience, 1)) * std::size_t(n + 1);
  lm.setMaxfev(Eigen::Index(budget));
  const auto status = lm.minimize(x);
  run.termination = termination_of(status, lm.fnorm());
  run.evaluations = std::uint64_t(lm.nfev());
  for (Eigen::Index k = 0; k < n; ++k) {
    const std::size_t j = free[std::size_t(k)];
    run.params[j] = to_physical(problem.bounds[j], x[k]);
  }
  return run;
}

Settled free_multi_start(const FitProblem& problem, std::span<const double> p0,
                         std::span<const bool> held, const LmSettings& settings,
                         std::uint64_t& evaluations) {
  const std::span<const Bounds> bounds = problem.bounds;
  const std::vector<std::size_t> free = free_indices(held);
  struct Candidate {
    std::vector<double> params;
    double cost;
  };
  std::vector<Candidate> candidates;
  for (auto& c : candidate_starting_points(p0, bounds)) {
    for (std::size_t i = 0; i < held.size(); ++i) {
      if (held[i]) c[i] = p0[i];
    }
    clamp_into_bounds(c, bounds);
    const double cost = cost_at(problem, c);
    candidates.push_back({std::move(c), cost});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) {
                     return total_order_key(a.cost) < total_order_key(b.cost);
                   });

  std::optional<Best> best;
  for (const Candidate& candidate : candidates) {
    problem.interrupt.poll();
    LmRun run = free_single_start(problem, candidate.params, free, settings);
    evaluations += run.evaluations;
    const double cost = cost_at(problem, run.params);
    const bool success = is_success(run.termination);
    if (!best || run_replaces_best(success, cost, best->success(), best->cost)) {
      best = Best{run.params, cost, run.termination};
    }
    if (std::isfinite(cost) && success && free_plausible(run.params, p0, bounds, free)) break;
  }
  if (!best) invariant_failed("candidate_starting_points always returns at least one candidate");

  // The bound re-fit: parameters that ended on or beyond a finite bound are
  // held there beside the caller's, and the rest fitted again; kept when it
  // beats the clamped point.
  Settled out{best->params, best->termination, 0};
  std::unique_ptr<bool[]> at_bound(new bool[held.size()]());
  bool any_at_bound = false;
  for (std::size_t i = 0; i < held.size(); ++i) {
    const Bounds& b = bounds[i];
    const bool on_bound =
        !held[i] && std::isfinite(b.hi) && (out.params[i] <= b.lo || out.params[i] >= b.hi);
    at_bound[i] = held[i] || on_bound;
    any_at_bound = any_at_bound || on_bound;
  }
  clamp_into_bounds(out.params, bounds);
  if (!any_at_bound) return out;
  const double clamped_cost = cost_at(problem, out.params);
  const std::vector<std::size_t> still_free = free_indices({at_bound.get(), held.size()});
  LmRun refit = free_single_start(problem, out.params, still_free, settings);
  evaluations += refit.evaluations;
  clamp_into_bounds(refit.params, bounds);
  const double cost = cost_at(problem, refit.params);
  if (refit_beats_clamp(cost, clamped_cost)) {
    out.params = std::move(refit.params);
    out.termination = refit.termination;
  }
  return out;
}

FreeStatistics free_statistics(const FitProblem& problem, std::span<const double> params,
                               std::span<const bool> held, double chi_square) {
  const std::size_t n = params.size();
  const std::vector<std::size_t> free = free_indices(held);
  FreeStatistics out{{},
                     Eigen::MatrixXd::Constant(Eigen::Index(n), Eigen::Index(n),
                                               std::numeric_limits<double>::quiet_NaN())};
  const double dof = double(2 * problem.points()) - double(free.size());
  if (!(dof > 0.0) || free.empty()) return out;
  const Eigen::MatrixXd jac = jacobian_columns(problem, params, free);
  const auto inv = general_inverse(jac.transpose() * jac);
  if (!inv) return out;
  const double s2 = chi_square / dof;
  out.stderr_values.assign(n, std::numeric_limits<double>::quiet_NaN());
  for (std::size_t a = 0; a < free.size(); ++a) {
    for (std::size_t b = 0; b < free.size(); ++b) {
      out.covariance(Eigen::Index(free[a]), Eigen::Index(free[b])) =
          s2 * (*inv)(Eigen::Index(a), Eigen::Index(b));
    }
    const double d = (*inv)(Eigen::Index(a), Eigen::Index(a));
    const double e = std::sqrt(s2 * d);
    // As the default fit reports it: a direction the data does not pin down
    // has no certainty at all.
    out.stderr_values[free[a]] = (d > 0.0 && std::isfinite(d) && !std::isnan(e)) ? e : INFINITY;
  }
  return out;
}

FreeOutcome build_free_outcome(const FitProblem& problem, std::vector<double> params,
                               std::span<const bool> held, bool success, Termination termination,
                               std::uint64_t iterations) {
  clamp_into_bounds(params, problem.bounds);
  FreeOutcome result;
  FitOutcome& out = result.outcome;
  out.cost = cost_at(problem, params);
  out.chi_square = out.cost + out.cost;
  FreeStatistics stats = free_statistics(problem, params, held, out.chi_square);
  if (!stats.stderr_values.empty()) out.stderr_values = std::move(stats.stderr_values);
  result.covariance = std::move(stats.covariance);
  finish_outcome(problem, out, std::move(params), success, termination, iterations);
  return result;
}

}  // namespace kelvara

#include "fit/free_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "circuit/tree.hpp"
#include "fit/jacobian.hpp"

namespace kelvara {
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

#include "fit/outcome.hpp"

#include <Eigen/LU>
#include <cmath>

#include "circuit/tree.hpp"
#include "fit/jacobian.hpp"
#include "support/invariant.hpp"
#include "support/text_format.hpp"

namespace kelvara {
namespace {

template <int N>
std::optional<Eigen::MatrixXd> fixed_inverse(const Eigen::MatrixXd& a) {
  const Eigen::Matrix<double, N, N> m = a;
  // Only an exactly zero determinant fails; NaN propagates into the result.
  if (m.determinant() == 0.0) return std::nullopt;
  return Eigen::MatrixXd(m.inverse());
}

}  // namespace

std::optional<Eigen::MatrixXd> general_inverse(const Eigen::MatrixXd& a) {
  switch (a.rows()) {
    case 0:
      return Eigen::MatrixXd(0, 0);
    case 1:
      return fixed_inverse<1>(a);
    case 2:
      return fixed_inverse<2>(a);
    case 3:
      return fixed_inverse<3>(a);
    case 4:
      return fixed_inverse<4>(a);
    default:
      break;
  }
  const Eigen::PartialPivLU<Eigen::MatrixXd> lu(a);
  const auto diagonal = lu.matrixLU().diagonal();
  for (Eigen::Index i = 0; i < diagonal.size(); ++i) {
    if (diagonal[i] == 0.0) return std::nullopt;
  }
  return Eigen::MatrixXd(lu.inverse());
}

double clamp_to_bounds(double x, const Bounds& b) {
  if (!(b.lo <= b.hi)) {
    invariant_failed("min > max, or either was NaN. min = " + format_debug(b.lo) +
                     ", max = " + format_debug(b.hi));
  }
  if (x < b.lo) return b.lo;
  if (x > b.hi) return b.hi;
  return x;
}

void clamp_into_bounds(std::span<double> params, std::span<const Bounds> bounds) {
  for (std::size_t i = 0; i < std::min(params.size(), bounds.size()); ++i)
    params[i] = clamp_to_bounds(params[i], bounds[i]);
}

FitOutcome build_outcome(const FitProblem& problem, std::vector<double> params, bool success,
                         Termination termination, std::uint64_t iterations) {
  clamp_into_bounds(params, problem.bounds);

  FitOutcome out;
  out.cost = cost_at(problem, params);
  out.chi_square = out.cost + out.cost;

  const Eigen::MatrixXd jac = jacobian_columns(problem, params);
  const double dof = double(jac.rows()) - double(jac.cols());
  if (dof > 0.0) {
    const Eigen::MatrixXd jtj = jac.transpose() * jac;
    if (const auto inv = general_inverse(jtj)) {
      const double s2 = out.chi_square / dof;
      std::vector<double> errors(params.size());
      for (std::size_t i = 0; i < errors.size(); ++i) {
        const double d = (*inv)(Eigen::Index(i), Eigen::Index(i));
        const double e = std::sqrt(s2 * d);
        // A variance that is not a positive number belongs to a direction
        // the data does not pin down: no certainty at all, never -0 or NaN.
        errors[i] = (d > 0.0 && std::isfinite(d) && !std::isnan(e)) ? e : INFINITY;
      }
      out.stderr_values = std::move(errors);
    }
  }
  finish_outcome(problem, out, std::move(params), success, termination, iterations);
  return out;
}

void finish_outcome(const FitProblem& problem, FitOutcome& out, std::vector<double> params,
                    bool success, Termination termination, std::uint64_t iterations) {
  out.circuit = rebuild(problem.nodes, params);
  out.param_names = param_names(problem.nodes);
  out.params = std::move(params);
  // Finite residuals can still square past the largest double; a fit whose
  // cost is not a number it can compare has not converged to anything.
  // Nor has one that ends worse than where it began, beyond rounding.
  out.success = success && std::isfinite(out.cost) && !(out.cost > problem.success_ceiling);
  out.termination = termination;
  out.iterations = iterations;
  out.impedance_evals = problem.counter.load(std::memory_order_relaxed);
}

std::pair<std::vector<double>, std::vector<double>> pso_search_box(std::span<const Bounds> bounds,
                                                                   std::span<const double> start) {
  const std::size_t n = std::min(bounds.size(), start.size());
  std::vector<double> lower(n), upper(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Bounds& b = bounds[i];
    if (!is_log_scaled(b)) {
      lower[i] = b.lo, upper[i] = b.hi;
      continue;
    }
    const double s = std::fmax(std::fabs(start[i]), 1e-6);
    lower[i] = std::log10(std::fmax(std::fmax(s * 0.0001, b.lo) - b.lo, 1e-300));
    upper[i] = std::log10(std::fmax(s * 10000.0 - b.lo, 1e-300));
  }
  return {lower, upper};
}

}  // namespace kelvara

#include "fit/jacobian.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "circuit/tree_derivatives.hpp"
#include "support/worker_pool.hpp"

namespace kelvara {
namespace {

// A circuit with custom elements differentiates through the tree instead:
// exact columns for the custom elements (forward mode through their
// formulas), the leaf's own central difference for the built-ins; counts one
// evaluation. Circuits of built-ins alone never come here.
Eigen::MatrixXd tree_jacobian_columns(const FitProblem& problem, std::span<const double> params,
                                      std::span<const std::size_t> columns) {
  problem.counter.fetch_add(1, std::memory_order_relaxed);
  const std::size_t points = problem.points();
  Eigen::MatrixXd jac(static_cast<Eigen::Index>(2 * points),
                      static_cast<Eigen::Index>(columns.size()));
  constexpr std::size_t kChunk = 64;
  parallel_for_each_index((points + kChunk - 1) / kChunk, [&](std::size_t c) {
    std::vector<Complex> dz(params.size());
    for (std::size_t k = c * kChunk; k < std::min(points, (c + 1) * kChunk); ++k) {
      impedance_derivatives(problem.nodes, params, problem.omegas[k], dz);
      const double w = problem.weights[k];
      for (std::size_t m = 0; m < columns.size(); ++m) {
        jac(Eigen::Index(2 * k), Eigen::Index(m)) = dz[columns[m]].real() / w;
        jac(Eigen::Index(2 * k + 1), Eigen::Index(m)) = dz[columns[m]].imag() / w;
      }
    }
  });
  return jac;
}

}  // namespace

Eigen::MatrixXd jacobian_columns(const FitProblem& problem, std::span<const double> params,
                                 std::span<const std::size_t> columns) {
  if (has_custom_leaves(problem.nodes)) return tree_jacobian_columns(problem, params, columns);
  const std::size_t m = 2 * problem.points();
  Eigen::MatrixXd jac(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(columns.size()));
  // Each task owns its perturbed copies and residual vectors and writes only
  // its own column, so columns never depend on scheduling.
  parallel_for_each_index(columns.size(), [&](std::size_t k) {
    const std::size_t j = columns[k];
    const double h = kCbrtEpsilon * std::fmax(std::fabs(params[j]), 1e-8);
    std::vector<double> plus(params.begin(), params.end()), minus(params.begin(), params.end());
    plus[j] += h;
    minus[j] -= h;
    std::vector<double> r_plus(m), r_minus(m);
    residuals_into(problem, plus, r_plus);
    residuals_into(problem, minus, r_minus);
    for (std::size_t i = 0; i < m; ++i)
      jac(Eigen::Index(i), Eigen::Index(k)) = (r_plus[i] - r_minus[i]) / (h + h);
  });
  return jac;
}

Eigen::MatrixXd jacobian_columns(const FitProblem& problem, std::span<const double> params) {
  std::vector<std::size_t> every(params.size());
  std::iota(every.begin(), every.end(), std::size_t{0});
  return jacobian_columns(problem, params, every);
}

Eigen::MatrixXd solver_jacobian(const FitProblem& problem, std::span<const double> x,
                                std::span<const bool> held) {
  const std::vector<double> p = physical(problem.bounds, x);
  Eigen::MatrixXd jac = jacobian_columns(problem, p);
  for (Eigen::Index j = 0; j < jac.cols(); ++j) {
    const auto& b = problem.bounds[std::size_t(j)];
    if (std::size_t(j) < held.size() && held[std::size_t(j)]) {
      jac.col(j).setZero();
    } else if (is_log_scaled(b)) {
      jac.col(j) *= (p[std::size_t(j)] - b.lo) * kLn10;
    }
  }
  return jac;
}

}  // namespace kelvara

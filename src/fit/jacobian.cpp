#include "fit/jacobian.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "circuit/block_derivatives.hpp"
#include "circuit/tree_derivatives.hpp"
#include "support/worker_pool.hpp"

namespace kelvara {
namespace {}  // namespace

Eigen::MatrixXd element_jacobian_columns(const FitProblem& problem, std::span<const double> params,
                                         std::span<const std::size_t> columns) {
  problem.counter.fetch_add(1, std::memory_order_relaxed);
  const std::size_t points = problem.points();
  const std::size_t count = params.size();
  Eigen::MatrixXd jac(static_cast<Eigen::Index>(2 * points),
                      static_cast<Eigen::Index>(columns.size()));
  // Blocks of points side by side, each with its own buffers and rows.
  constexpr std::size_t kChunk = 4 * Element::kBlockPoints;
  parallel_for_each_index((points + kChunk - 1) / kChunk, [&](std::size_t c) {
    const std::size_t first = c * kChunk;
    const std::size_t n = std::min(kChunk, points - first);
    std::vector<Complex> z(n), dz(count * n);
    impedance_derivatives_at(problem.nodes, params,
                             std::span<const double>(problem.omegas).subspan(first, n), z, dz);
    for (std::size_t m = 0; m < columns.size(); ++m) {
      const Complex* column = dz.data() + columns[m] * n;
      for (std::size_t i = 0; i < n; ++i) {
        const double w = problem.weights[first + i];
        jac(Eigen::Index(2 * (first + i)), Eigen::Index(m)) = column[i].real() / w;
        jac(Eigen::Index(2 * (first + i) + 1), Eigen::Index(m)) = column[i].imag() / w;
      }
    }
  });
  return jac;
}

Eigen::MatrixXd jacobian_columns(const FitProblem& problem, std::span<const double> params,
                                 std::span<const std::size_t> columns) {
  if (has_custom_leaves(problem.nodes)) return element_jacobian_columns(problem, params, columns);
  const std::size_t m = 2 * problem.points();
  Eigen::MatrixXd jac(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(columns.size()));
  // Each task owns its perturbed copies and residual vectors and writes only
  // its own column, so columns never depend on scheduling.
  parallel_for_each_index(columns.size(), [&](std::size_t k) {
    const std::size_t j = columns[k];
    const double h = difference_step(params[j]);
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

#pragma once
// Central-difference Jacobian of the residual vector, one column per
// parameter, the columns computed in parallel on the shared pool:
//   J[:, j] = (r(p + h e_j) - r(p - h e_j)) / (h + h),
//   h = eps^(1/3) * max(|p_j|, 1e-8)
// (the cube root of machine epsilon balances truncation against rounding
// error for central differences).

#include <Eigen/Core>
#include <span>
#include <vector>

#include "fit/residuals.hpp"
#include "support/difference_step.hpp"

namespace kelvara {

inline constexpr double kLn10 = 2.302585092994046;

// 2N x n matrix of derivatives with respect to the physical `params`
// (n = params.size()); counts 2n evaluations.
Eigen::MatrixXd jacobian_columns(const FitProblem& problem, std::span<const double> params);

// Only the listed columns, in that order (a fit with parameters held
// differentiates the free ones alone); counts 2 evaluations per column.
Eigen::MatrixXd jacobian_columns(const FitProblem& problem, std::span<const double> params,
                                 std::span<const std::size_t> columns);

// The same columns differentiated element by element
// (circuit/block_derivatives.hpp): each element 2 * count + 1 times instead
// of the whole circuit twice per column; counts one evaluation. Circuits with
// custom elements always take it, for their exact derivatives.
Eigen::MatrixXd element_jacobian_columns(const FitProblem& problem, std::span<const double> params,
                                         std::span<const std::size_t> columns);

// The Jacobian with respect to solver coordinates x: each column times
// dp/dx (1, or (p - lo) ln 10 for a log-scaled parameter), held columns 0.
Eigen::MatrixXd solver_jacobian(const FitProblem& problem, std::span<const double> x,
                                std::span<const bool> held);

}  // namespace kelvara

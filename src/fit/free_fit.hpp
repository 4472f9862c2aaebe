#pragma once
// The outcome of a fit with some parameters held at their start values and
// the others inside a box of the caller's. The least squares is the default
// fit's (levenberg_marquardt.hpp, over the free indices); the statistics
// come from the Jacobian of the free columns.

#include <Eigen/Core>
#include <cstddef>
#include <span>
#include <vector>

#include "fit/levenberg_marquardt.hpp"
#include "fit/outcome.hpp"

namespace kelvara {

// Standard errors and covariance over the free parameters at `params`:
// cov = chi_square / (2N - k) * inv(J^T J) with J the free columns. Held
// parameters get NaN rows, columns and errors; a singular J^T J gives no
// covariance (all NaN) and no errors (empty), as the default fit reports it.
struct FreeStatistics {
  std::vector<double> stderr_values;  // empty when J^T J is singular or dof <= 0
  Eigen::MatrixXd covariance;         // n x n, NaN where not determined
};
FreeStatistics free_statistics(const FitProblem& problem, std::span<const double> params,
                               std::span<const bool> held, double chi_square);

// The outcome of a fit with held parameters: clamped into the box, its cost,
// success as the default fit judges it, and the free statistics.
struct FreeOutcome {
  FitOutcome outcome;
  Eigen::MatrixXd covariance;
};
FreeOutcome build_free_outcome(const FitProblem& problem, std::vector<double> params,
                               std::span<const bool> held, bool success, Termination termination,
                               std::uint64_t iterations);

}  // namespace kelvara

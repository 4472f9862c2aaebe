#pragma once
// Least squares over the free parameters only: some parameters held at
// their start values, the others inside a box of the caller's (finite or
// half-open, in the same solver coordinates as every fit: log10(p - lo)
// where the box is open above). The solver sees a problem of the free
// dimension, so a held parameter costs nothing and cannot move.
//
// The multi-start, its plausibility test and its bound re-fit are those of
// the default fit (levenberg_marquardt.hpp), run on the free parameters;
// the statistics come from the Jacobian of the free columns.

#include <Eigen/Core>
#include <cstddef>
#include <span>
#include <vector>

#include "fit/levenberg_marquardt.hpp"
#include "fit/outcome.hpp"

namespace kelvara {

// The indices of the parameters not held, in order.
std::vector<std::size_t> free_indices(std::span<const bool> held);

// One solver run from physical `start` (every parameter; the held ones keep
// their values), moving only the parameters listed in `free`.
// `max_evaluations` > 0 overrides the settings' budget: the short runs of
// the search.
LmRun free_single_start(const FitProblem& problem, std::span<const double> start,
                        std::span<const std::size_t> free, const LmSettings& settings,
                        std::size_t max_evaluations = 0);

// The default fit's multi-start from physical `p0`, held parameters fixed,
// the others inside the problem's bounds; ends with the bound re-fit.
Settled free_multi_start(const FitProblem& problem, std::span<const double> p0,
                         std::span<const bool> held, const LmSettings& settings,
                         std::uint64_t& evaluations);

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

#pragma once
// How every fit ends: the outcome record with cost statistics and standard
// errors, the least-squares polish of a global method's best point, and the
// search box the population methods draw from.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "fit/fit_error.hpp"
#include "fit/residuals.hpp"

namespace kelvara {

struct FitOutcome {
  SeriesList circuit;                 // the input circuit with the fitted values
  std::vector<std::string> param_names;
  std::vector<double> params;         // clamped into their bounds
  std::optional<std::vector<double>> stderr_values;
  std::uint64_t iterations = 0;       // each method's own count
  std::uint64_t impedance_evals = 0;  // residual evaluations of the whole fit
  double cost = 0.0;                  // 0.5 sum r^2
  double chi_square = 0.0;            // sum r^2, computed as cost + cost
  bool success = false;
};

// Clamps `params` into the circuit's bounds and computes the statistics:
// stderr_i = sqrt(chi_square / (2N - n) * inv(J^T J)_ii), absent when the
// degrees of freedom are not positive or J^T J is singular.
FitOutcome build_outcome(const SeriesList& nodes, std::vector<double> params, bool success, std::uint64_t iterations,
                         const FitProblem& problem);

// The inverse of a square matrix: closed forms up to 4x4, partial-pivot LU
// above; nothing when the determinant or a pivot is exactly zero.
std::optional<Eigen::MatrixXd> general_inverse(const Eigen::MatrixXd& a);

// x clamped into [lo, hi]; lo > hi or a NaN bound is an invariant failure.
double clamp_to_bounds(double x, const Bounds& b);
// Each of the first min(len(params), len(bounds)) entries, in place.
void clamp_into_bounds(std::span<double> params, std::span<const Bounds> bounds);

// Refines a global method's best point with the Levenberg-Marquardt fit and
// keeps the polish when its cost is finite and not larger, else the point
// itself (success true, the method's iterations).
FitResultOr<FitOutcome> polish_or_fallback(const SeriesList& nodes, std::vector<double> best, std::uint64_t iterations,
                                           std::span<const double> frequencies_hz,
                                           std::span<const Complex> impedances, bool modulus,
                                           const FitProblem& problem);

// Solver-coordinate box: bounded parameters keep [lo, hi]; log-scaled ones
// span four decades either side of the start.
std::pair<std::vector<double>, std::vector<double>> pso_search_box(std::span<const Bounds> bounds,
                                                                   std::span<const double> start);

}  // namespace kelvara

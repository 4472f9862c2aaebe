#pragma once
// How every fit ends: the outcome record with cost statistics and standard
// errors, and the search box the population methods draw from.

#include <Eigen/Core>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fit/fit_error.hpp"
#include "fit/residuals.hpp"
#include "fit/termination.hpp"

namespace kelvara {

struct FitOutcome {
  SeriesList circuit;  // the input circuit with the fitted values
  std::vector<std::string> param_names;
  std::vector<double> params;  // clamped into their bounds
  std::optional<std::vector<double>> stderr_values;
  std::uint64_t iterations = 0;       // each method's own count
  std::uint64_t impedance_evals = 0;  // residual evaluations of the whole fit
  double cost = 0.0;                  // 0.5 sum r^2
  double chi_square = 0.0;            // sum r^2, computed as cost + cost
  bool success = false;
  Termination termination = Termination::WrongDimensions;  // of the run that produced `params`
};

// Clamps `params` into the circuit's bounds and computes the statistics:
// stderr_i = sqrt(chi_square / (2N - n) * inv(J^T J)_ii), absent when the
// degrees of freedom are not positive or J^T J is singular, inf where the
// diagonal entry is not a positive finite number. Not a success when the
// cost is not finite or above the start's.
FitOutcome build_outcome(const FitProblem& problem, std::vector<double> params, bool success,
                         Termination termination, std::uint64_t iterations);

// The fields every outcome fills alike once its cost and statistics are in:
// the rebuilt circuit, the names, the (clamped) values, success as judged
// against the cost and the problem's ceiling, the termination and counts.
void finish_outcome(const FitProblem& problem, FitOutcome& out, std::vector<double> params,
                    bool success, Termination termination, std::uint64_t iterations);

// The inverse of a square matrix: closed forms up to 4x4, partial-pivot LU
// above; nothing when the determinant or a pivot is exactly zero.
std::optional<Eigen::MatrixXd> general_inverse(const Eigen::MatrixXd& a);

// x clamped into [lo, hi]; lo > hi or a NaN bound is an invariant failure.
double clamp_to_bounds(double x, const Bounds& b);
// Each of the first min(len(params), len(bounds)) entries, in place.
void clamp_into_bounds(std::span<double> params, std::span<const Bounds> bounds);

// Solver-coordinate box: bounded parameters keep [lo, hi]; log-scaled ones
// span four decades either side of the start.
std::pair<std::vector<double>, std::vector<double>> pso_search_box(std::span<const Bounds> bounds,
                                                                   std::span<const double> start);

}  // namespace kelvara

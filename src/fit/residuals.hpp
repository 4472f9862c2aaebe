#pragma once
// The quantity every fitting method minimises: half the sum of squares of
// the weighted residuals
//   r[2k]   = (Re Zmodel(w_k) - Re Z_k) / w_k
//   r[2k+1] = (Im Zmodel(w_k) - Im Z_k) / w_k
// (real and imaginary parts interleaved per point), and the mapping between
// physical parameters and the solver coordinates the optimisers move in:
// a parameter with an open upper bound is optimised as x = log10(p - lo), so
// it stays above its lower bound by construction; the others directly.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/node.hpp"
#include "fit/fit_problem.hpp"

namespace kelvara {

// "modulus" -> true, "unit" -> false (exact, case-sensitive); nothing else.
std::optional<bool> parse_weighting(std::string_view name);
std::string unknown_weighting_message(std::string_view name);

// modulus: max(|Z_k|, 1e-30) (a NaN modulus gives 1e-30); unit: 1.
std::vector<double> compute_weights(std::span<const Complex> impedances, bool modulus);

std::vector<double> angular_frequencies(std::span<const double> frequencies_hz);

// The 2N residuals at physical `params` into `out` (length 2N); counts one
// evaluation. Allocates nothing.
void residuals_into(const FitProblem& problem, std::span<const double> params,
                    std::span<double> out);
std::vector<double> residuals(const FitProblem& problem, std::span<const double> params);

// 0.5 * sum r^2, summed in index order; NaN stays NaN. Counts one evaluation.
double cost_at(const FitProblem& problem, std::span<const double> params);
double cost_of(std::span<const double> r);

// An open (non-finite) upper bound marks a log-scaled parameter.
bool is_log_scaled(const Bounds& b);

// One parameter each way: p = 10^x + lo where log-scaled, and
// x = log10(max(p - lo, 1e-300)) (a value at or below lo gives -300).
double to_physical(const Bounds& b, double x);
double to_solver_coordinate(const Bounds& b, double p);

// min(len(bounds), len(input)) entries each.
std::vector<double> physical(std::span<const Bounds> bounds, std::span<const double> x);
// The same into `out` (at least that long), allocating nothing.
void physical_into(std::span<const Bounds> bounds, std::span<const double> x,
                   std::span<double> out);
std::vector<double> to_solver_coordinates(std::span<const Bounds> bounds,
                                          std::span<const double> p);

// 0.5 * sum r^2 at physical(bounds, x), one counted evaluation per call:
// the cost the iterative solvers minimise. The physical vector and the
// residuals live in buffers reused from call to call, so an evaluation
// allocates nothing.
class SolverCost {
 public:
  explicit SolverCost(const FitProblem& problem)
      : problem_(&problem), params_(problem.bounds.size()), residuals_(2 * problem.points()) {}

  double operator()(std::span<const double> x);

 private:
  const FitProblem* problem_;
  std::vector<double> params_;
  std::vector<double> residuals_;
};

}  // namespace kelvara

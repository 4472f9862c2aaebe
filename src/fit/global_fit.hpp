#pragma once
// What the global fitting methods share around their searches: the input
// checks, the data every method prepares (angular frequencies, weights,
// bounds, start values, its own evaluation counter), the cost over solver
// coordinates, and the hand-over of the best point to the polish.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fit/fit_error.hpp"
#include "fit/outcome.hpp"
#include "fit/residuals.hpp"

namespace kelvara {

// In this order: counts differ, no points, no parameters.
std::optional<FitError> check_fit_inputs(const SeriesList& nodes, std::span<const double> frequencies_hz,
                                         std::span<const Complex> impedances);

// Owns a fit's derived data; `problem` borrows it, so the record never moves.
struct PreparedFit {
  PreparedFit(const SeriesList& nodes, std::span<const double> frequencies_hz, std::span<const Complex> impedances,
              bool modulus);
  PreparedFit(const PreparedFit&) = delete;
  PreparedFit& operator=(const PreparedFit&) = delete;

  // polish_or_fallback of the best point x (solver coordinates), reporting
  // the method's `iterations` when the polish does not win.
  FitResultOr<FitOutcome> polish(std::span<const double> x, std::uint64_t iterations) const;

  const SeriesList& nodes;
  std::span<const double> frequencies_hz;
  std::span<const Complex> impedances;
  bool modulus;
  std::vector<double> omegas;
  std::vector<double> weights;
  std::vector<Bounds> bounds;
  std::vector<double> start;  // the circuit's current values, physical
  mutable EvalCounter counter{0};  // counted through `problem`, also in a const fit
  FitProblem problem;
};

// 0.5 * sum r^2 at physical(bounds, x), one counted evaluation per call.
// The physical vector and the residuals live in buffers reused from call to
// call, so an evaluation allocates nothing.
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

#pragma once
// The prepared problem of one fit: everything a residual evaluation reads
// (angular frequencies, weights, bounds), the fit's evaluation counter and
// its interruption poll,
// built once and handed to whichever method runs, and to everything it
// spawns (the polish, basin hopping's local fits, the Jacobian tasks).

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "circuit/node.hpp"
#include "fit/fit_error.hpp"
#include "support/interrupt.hpp"

namespace kelvara {

// Residual-vector evaluations within one fit; a statistic read after the
// work has joined, so relaxed increments suffice.
using EvalCounter = std::atomic<std::uint64_t>;

// No yardstick: every finite cost passes.
inline constexpr double kNoCostCeiling = std::numeric_limits<double>::infinity();
// No cost passes: the data leaves nothing to succeed at.
inline constexpr double kNothingSucceeds = -std::numeric_limits<double>::infinity();

class FitProblem {
 public:
  // Borrows `nodes` and `impedances`; both must outlive the problem.
  FitProblem(const SeriesList& nodes, std::span<const double> frequencies_hz,
             std::span<const Complex> impedances, bool modulus, InterruptHook interrupt_hook = {});
  FitProblem(const FitProblem&) = delete;
  FitProblem& operator=(const FitProblem&) = delete;

  std::size_t points() const { return omegas.size(); }

  const SeriesList& nodes;                  // shape and labels; `start` holds its values
  std::span<const Complex> impedances;      // measured, ohm
  std::vector<double> omegas;               // rad/s
  std::vector<double> weights;              // one per point
  std::vector<Bounds> bounds;               // one per parameter
  std::vector<double> start;                // the circuit's current values, physical
  double success_ceiling = kNoCostCeiling;  // set by the driver: a success never ends above it
  mutable EvalCounter counter{0};           // counted through a const problem too
  mutable InterruptPoll interrupt;          // polled by the methods' loops on the driving thread
};

// The highest cost a successful fit may end at: the cost at `start` clamped
// into `bounds` (not counted as the fit's work), plus what rounding alone
// can add, residuals a few ulps of each measured value in size, so that a
// fit started at its optimum is still a success. kNothingSucceeds when a
// point is no measurement (a frequency that is not positive and finite, an
// impedance that is not finite), whichever method runs.
double success_ceiling(const FitProblem& problem);

// In this order: counts differ, no points, no parameters, a starting value
// that is not finite, every resistance (without any, every log-scaled
// parameter) starting at or below its lower bound.
std::optional<FitError> check_fit_inputs(const SeriesList& nodes,
                                         std::span<const double> frequencies_hz,
                                         std::span<const Complex> impedances);

// Any log-scaled parameter starting at or below its lower bound, named: the
// method's own start would stay there (the least squares cannot move it,
// the search boxes are drawn around it) and end in a wrong minimum called a
// success. The search of the engine leaves it from starts of its own, so
// only the methods of a plain fit refuse it.
std::optional<FitError> check_start_off_the_floor(const SeriesList& nodes);

}  // namespace kelvara

#include "fit/fit_problem.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "circuit/tree.hpp"
#include "fit/outcome.hpp"
#include "fit/residuals.hpp"
#include "support/text_format.hpp"

namespace kelvara {

FitProblem::FitProblem(const SeriesList& nodes, std::span<const double> frequencies_hz,
                       std::span<const Complex> impedances, bool modulus, InterruptHook interrupt_hook)
    : nodes(nodes),
      impedances(impedances),
      omegas(angular_frequencies(frequencies_hz)),
      weights(compute_weights(impedances, modulus)),
      bounds(param_bounds(nodes)),
      start(param_values(nodes)),
      interrupt(interrupt_hook) {}

namespace {

double clamped_start_cost(const FitProblem& problem) {
  std::vector<double> clamped = problem.start;
  clamp_into_bounds(clamped, problem.bounds);
  const std::uint64_t before = problem.counter.load(std::memory_order_relaxed);
  const double cost = cost_at(problem, clamped);
  problem.counter.store(before, std::memory_order_relaxed);
  return cost;
}

double rounding_cost(const FitProblem& problem) {
  constexpr double kUlps = 64.0 * std::numeric_limits<double>::epsilon();
  double cost = 0.0;
  for (std::size_t k = 0; k < problem.points(); ++k) {
    const double r = kUlps * std::abs(problem.impedances[k]) / problem.weights[k];
    cost += r * r;
  }
  return std::isfinite(cost) ? cost : 0.0;
}

}  // namespace

double success_ceiling(const FitProblem& problem) {
  const double start_cost = clamped_start_cost(problem);
  return start_cost + 1e-12 * start_cost + rounding_cost(problem);
}

std::optional<FitError> check_fit_inputs(const SeriesList& nodes, std::span<const double> frequencies_hz,
                                         std::span<const Complex> impedances) {
  if (frequencies_hz.size() != impedances.size()) return FitError{FitError::Kind::LengthMismatch, {}};
  if (frequencies_hz.empty()) return FitError{FitError::Kind::EmptySpectrum, {}};
  if (param_count(nodes) == 0) return FitError{FitError::Kind::NoParameters, {}};
  // A NaN or infinite start gives NaN costs the methods cannot rank; the
  // fit would wander off and still claim convergence.
  const std::vector<double> values = param_values(nodes);
  const std::vector<std::string> names = param_names(nodes);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (std::isfinite(values[i])) continue;
    return FitError{FitError::Kind::InvalidStart,
                    "starting value of " + names[i] + " must be finite, got " + format_debug(values[i])};
  }
  return std::nullopt;
}

}  // namespace kelvara

#include "fit/fit_problem.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "circuit/tree.hpp"
#include "fit/outcome.hpp"
#include "fit/residuals.hpp"
#include "support/text_format.hpp"

namespace kelvara {

FitProblem::FitProblem(const SeriesList& nodes, std::span<const double> frequencies_hz,
                       std::span<const Complex> impedances, bool modulus,
                       InterruptHook interrupt_hook)
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

// A measured point has a positive finite frequency and a finite, non-zero
// impedance (the dataframe reader keeps only finite rows; exactly 0 ohm is a
// shorted or empty channel). Anywhere else no model value
// can be judged: a capacitor is infinite at 0 Hz, while an exponent of 0
// makes a CPE finite even at a NaN frequency, which a search finds.
bool every_point_measured(const FitProblem& problem) {
  for (std::size_t k = 0; k < problem.points(); ++k) {
    const Complex z = problem.impedances[k];
    const double omega = problem.omegas[k];
    if (!(omega > 0.0) || !std::isfinite(omega) || !std::isfinite(z.real()) ||
        !std::isfinite(z.imag()) || z == Complex{})
      return false;
  }
  return true;
}

// A log-scaled value at or below its lower bound sits at the bottom of the
// solver's coordinates, where the least-squares steps cannot move it, and
// the search boxes are drawn around it. With every resistance there (an
// all-zero start, say) the model is about 0 ohm at every frequency and the
// fit would settle at 100 % error and call it a success: such a start is
// refused as a NaN one is. A circuit without resistances is judged by all
// its log-scaled parameters.
std::optional<FitError> check_start_can_move(const SeriesList& nodes,
                                             const std::vector<double>& values,
                                             const std::vector<std::string>& names) {
  const std::vector<Bounds> bounds = param_bounds(nodes);
  const std::vector<std::string> units = param_units(nodes);
  const std::size_t n = std::min({values.size(), bounds.size(), units.size(), names.size()});
  bool has_resistance = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (units[i] == "ohm" && is_log_scaled(bounds[i])) has_resistance = true;
  }
  std::string stuck;
  for (std::size_t i = 0; i < n; ++i) {
    if (!is_log_scaled(bounds[i]) || (has_resistance && units[i] != "ohm")) continue;
    if (values[i] > bounds[i].lo) return std::nullopt;
    stuck += (stuck.empty() ? "" : ", ") + names[i] + " = " + format_debug(values[i]);
  }
  if (stuck.empty()) return std::nullopt;
  return FitError{
      FitError::Kind::InvalidStart,
      std::string(has_resistance ? "every resistance" : "every log-scaled parameter") +
          " starts at or below its lower bound, from where no fit can move it: " + stuck};
}

}  // namespace

double success_ceiling(const FitProblem& problem) {
  // A spectrum holding a point that is no measurement fails every method.
  if (!every_point_measured(problem)) return kNothingSucceeds;
  const double start_cost = clamped_start_cost(problem);
  return start_cost + 1e-12 * start_cost + rounding_cost(problem);
}

std::optional<FitError> check_fit_inputs(const SeriesList& nodes,
                                         std::span<const double> frequencies_hz,
                                         std::span<const Complex> impedances) {
  if (frequencies_hz.size() != impedances.size())
    return FitError{FitError::Kind::LengthMismatch, {}};
  if (frequencies_hz.empty()) return FitError{FitError::Kind::EmptySpectrum, {}};
  if (param_count(nodes) == 0) return FitError{FitError::Kind::NoParameters, {}};
  // A NaN or infinite start gives NaN costs the methods cannot rank; the
  // fit would wander off and still claim convergence.
  const std::vector<double> values = param_values(nodes);
  const std::vector<std::string> names = param_names(nodes);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (std::isfinite(values[i])) continue;
    return FitError{
        FitError::Kind::InvalidStart,
        "starting value of " + names[i] + " must be finite, got " + format_debug(values[i])};
  }
  return check_start_can_move(nodes, values, names);
}

std::optional<FitError> check_start_off_the_floor(const SeriesList& nodes) {
  const std::vector<double> values = param_values(nodes);
  const std::vector<Bounds> bounds = param_bounds(nodes);
  const std::vector<std::string> names = param_names(nodes);
  std::string stuck;
  for (std::size_t i = 0; i < std::min({values.size(), bounds.size(), names.size()}); ++i) {
    if (!is_log_scaled(bounds[i]) || values[i] > bounds[i].lo) continue;
    stuck += (stuck.empty() ? "" : ", ") + names[i] + " = " + format_debug(values[i]);
  }
  if (stuck.empty()) return std::nullopt;
  return FitError{FitError::Kind::InvalidStart,
                  "a start at or below the lower bound leaves a parameter where no fit can move "
                  "it: " +
                      stuck + "; start it at a value of the size it should have"};
}

}  // namespace kelvara

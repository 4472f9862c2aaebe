#include "fit/fit_problem.hpp"

#include <cmath>
#include <string>

#include "circuit/tree.hpp"
#include "fit/outcome.hpp"
#include "fit/residuals.hpp"
#include "support/text_format.hpp"

namespace kelvara {

FitProblem::FitProblem(const SeriesList& nodes, std::span<const double> frequencies_hz,
                       std::span<const Complex> impedances, bool modulus)
    : nodes(nodes),
      impedances(impedances),
      omegas(angular_frequencies(frequencies_hz)),
      weights(compute_weights(impedances, modulus)),
      bounds(param_bounds(nodes)),
      start(param_values(nodes)) {
  // The yardstick a successful fit must not end above, taken where the
  // outcome would put the start; not part of the fit's own work.
  std::vector<double> clamped = start;
  clamp_into_bounds(clamped, bounds);
  start_cost = cost_at(*this, clamped);
  counter.store(0, std::memory_order_relaxed);
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

#include "fit/fit_problem.hpp"

#include "circuit/tree.hpp"
#include "fit/residuals.hpp"

namespace kelvara {

FitProblem::FitProblem(const SeriesList& nodes, std::span<const double> frequencies_hz,
                       std::span<const Complex> impedances, bool modulus)
    : nodes(nodes),
      impedances(impedances),
      omegas(angular_frequencies(frequencies_hz)),
      weights(compute_weights(impedances, modulus)),
      bounds(param_bounds(nodes)),
      start(param_values(nodes)) {}

std::optional<FitError> check_fit_inputs(const SeriesList& nodes, std::span<const double> frequencies_hz,
                                         std::span<const Complex> impedances) {
  if (frequencies_hz.size() != impedances.size()) return FitError{FitError::Kind::LengthMismatch, {}};
  if (frequencies_hz.empty()) return FitError{FitError::Kind::EmptySpectrum, {}};
  if (param_count(nodes) == 0) return FitError{FitError::Kind::NoParameters, {}};
  return std::nullopt;
}

}  // namespace kelvara

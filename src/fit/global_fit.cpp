#include "fit/global_fit.hpp"

#include <algorithm>
#include <cmath>

#include "circuit/tree.hpp"

namespace kelvara {

std::optional<FitError> check_fit_inputs(const SeriesList& nodes, std::span<const double> frequencies_hz,
                                         std::span<const Complex> impedances) {
  if (frequencies_hz.size() != impedances.size()) return FitError{FitError::Kind::LengthMismatch, {}};
  if (frequencies_hz.empty()) return FitError{FitError::Kind::EmptySpectrum, {}};
  if (param_count(nodes) == 0) return FitError{FitError::Kind::NoParameters, {}};
  return std::nullopt;
}

PreparedFit::PreparedFit(const SeriesList& nodes, std::span<const double> frequencies_hz,
                         std::span<const Complex> impedances, bool modulus)
    : nodes(nodes),
      frequencies_hz(frequencies_hz),
      impedances(impedances),
      modulus(modulus),
      omegas(angular_frequencies(frequencies_hz)),
      weights(compute_weights(impedances, modulus)),
      bounds(param_bounds(nodes)),
      start(param_values(nodes)),
      problem{nodes, omegas, impedances, weights, bounds, counter} {}

FitResultOr<FitOutcome> PreparedFit::polish(std::span<const double> x, std::uint64_t iterations) const {
  return polish_or_fallback(nodes, physical(bounds, x), iterations, frequencies_hz, impedances, modulus, problem);
}

double SolverCost::operator()(std::span<const double> x) {
  const std::size_t n = std::min(problem_->bounds.size(), x.size());
  physical_into(problem_->bounds, x, params_);
  residuals_into(*problem_, std::span(params_).first(n), residuals_);
  return cost_of(residuals_);
}

}  // namespace kelvara

#include "fit/driver.hpp"

#include <algorithm>
#include <cmath>

#include "elements/text_format.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace kelvara {
namespace {

// MINPACK rejects negative tolerances mid-run; -0.0 slips past its test but
// is as meaningless. Both are refused before any work.
std::optional<FitError> check_tolerance(const char* name, double value) {
  if (!std::signbit(value)) return std::nullopt;
  return FitError{FitError::Kind::InvalidOption,
                  std::string(name) + " must be a non-negative number, got " + format_debug(value)};
}

}  // namespace

FitResultOr<FitOutcome> run_fit(const SeriesList& start, std::span<const double> frequencies_hz,
                                std::span<const Complex> impedances, const FitOptions& options) {
  const auto* method = std::find(std::begin(kFitMethods), std::end(kFitMethods), options.method);
  if (method == std::end(kFitMethods)) return FitError{FitError::Kind::UnknownMethod, options.method};

  if (*method == "levenberg_marquardt") {
    if (auto e = check_tolerance("ftol", options.ftol)) return *e;
    if (auto e = check_tolerance("xtol", options.xtol)) return *e;
    return levenberg_marquardt_fit(start, frequencies_hz, impedances, options.modulus,
                                   LmSettings{options.ftol, options.xtol, 1e-8, options.max_iterations});
  }
  return FitError{FitError::Kind::Solver, "method \"" + options.method + "\" is not available in this build"};
}

}  // namespace kelvara

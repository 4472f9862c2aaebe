#pragma once
// The one entry into fitting: picks the method by its exact name, checks
// the data and the method's options, prepares the problem once and runs
// the method on it.

#include <span>

#include "fit/fit_error.hpp"
#include "fit/fit_options.hpp"
#include "fit/outcome.hpp"

namespace kelvara {

// Fits `start` (whose values are the starting point) to the spectrum.
FitResultOr<FitOutcome> run_fit(const SeriesList& start, std::span<const double> frequencies_hz,
                                std::span<const Complex> impedances, const FitOptions& options);

}  // namespace kelvara

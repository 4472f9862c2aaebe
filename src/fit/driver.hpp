#pragma once
// The one entry into fitting: picks the method by its exact name, checks
// the data and the method's options, prepares the problem once and runs
// the method on it.

#include <span>

#include "fit/fit_error.hpp"
#include "fit/fit_options.hpp"
#include "fit/outcome.hpp"
#include "support/interrupt.hpp"

namespace kelvara {

// Fits `start` (whose values are the starting point) to the spectrum. A
// caller-supplied `interrupt` hook is polled from this thread while the
// fit runs; when it asks to stop, FitInterrupted is thrown.
FitResultOr<FitOutcome> run_fit(const SeriesList& start, std::span<const double> frequencies_hz,
                                std::span<const Complex> impedances, const FitOptions& options,
                                InterruptHook interrupt = {});

}  // namespace kelvara

#pragma once
// The end of every global search: its best point refined by the
// least-squares multi-start.

#include <cstdint>
#include <span>

#include "fit/fit_error.hpp"
#include "fit/fit_problem.hpp"
#include "fit/outcome.hpp"
#include "fit/termination.hpp"

namespace kelvara {

// The polish of `best` (solver coordinates) is kept when its cost is finite
// and not larger than the clamped point's, else the clamped point itself
// (success true, the method's `iterations` and `termination`). Both sides
// are compared where they would be returned, inside the bounds; the
// polish's own bound re-fit competes with its clamp the same way.
FitOutcome polish_or_fallback(const FitProblem& problem, std::span<const double> best,
                              std::uint64_t iterations, Termination termination);

}  // namespace kelvara

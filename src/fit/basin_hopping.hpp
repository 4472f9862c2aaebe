#pragma once
// Method "basin_hopping": a Monte-Carlo walk over local least-squares
// minima. Each hop perturbs the current minimum in solver coordinates,
// re-minimises with the Levenberg-Marquardt fit, and accepts the new
// minimum by the Metropolis rule at a fixed temperature T:
//   accept when c_new < c_current, or when u < exp(-(c_new - c_current) / T)
// with u uniform in [0, 1) (a non-finite c_new is always rejected). The
// walk moves from the last accepted minimum; the lowest ever seen is the
// result. Every point is already a least-squares minimum, so nothing is
// polished afterwards.

#include <cstdint>
#include <span>

#include "fit/fit_error.hpp"
#include "fit/fit_options.hpp"
#include "fit/fit_problem.hpp"
#include "fit/outcome.hpp"

namespace kelvara {

// Draws n perturbation values per hop, then one acceptance value for each
// hop whose local cost is finite and not below the current one.
FitResultOr<FitOutcome> basin_hopping_fit(const FitProblem& problem,
                                          const BasinHoppingOptions& options);

}  // namespace kelvara

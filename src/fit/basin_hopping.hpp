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

#include "fit/chacha_rng.hpp"
#include "fit/fit_error.hpp"
#include "fit/outcome.hpp"

namespace kelvara {

struct BasinHoppingOptions {
  std::uint32_t hops = 20;
  double step_size = 1.0;    // s: coordinates move uniformly within [-s, s]
  double temperature = 1.0;  // T of the Metropolis rule
};

// Draws n perturbation values per hop, then one acceptance value for each
// hop whose local cost is finite and not below the current one.
FitResultOr<FitOutcome> basin_hopping_fit(const SeriesList& nodes, std::span<const double> frequencies_hz,
                                          std::span<const Complex> impedances, bool modulus,
                                          const BasinHoppingOptions& options, ChaChaRng& rng);

}  // namespace kelvara

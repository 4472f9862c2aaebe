#include "fit/driver.hpp"

#include <algorithm>
#include <cmath>

#include "fit/basin_hopping.hpp"
#include "fit/differential_evolution.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/nelder_mead.hpp"
#include "fit/particle_swarm.hpp"
#include "fit/simulated_annealing.hpp"
#include "support/text_format.hpp"

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
  // Each method checks its own data (mismatched lengths, then no points,
  // then no parameters) before its options.
  if (*method == "nelder_mead") {
    return nelder_mead_fit(start, frequencies_hz, impedances, options.modulus,
                           NelderMeadOptions{options.nelder_mead_iterations});
  }
  if (*method == "simulated_annealing") {
    return simulated_annealing_fit(
        start, frequencies_hz, impedances, options.modulus,
        SimulatedAnnealingOptions{options.sa_iterations, options.sa_initial_temperature, options.seed});
  }
  if (*method == "particle_swarm") {
    return particle_swarm_fit(start, frequencies_hz, impedances, options.modulus,
                              ParticleSwarmOptions{options.num_particles, options.generations, options.seed});
  }
  if (*method == "differential_evolution") {
    return differential_evolution_fit(start, frequencies_hz, impedances, options.modulus,
                                      DifferentialEvolutionOptions{options.de_evaluations});
  }
  ChaChaRng rng = options.seed ? ChaChaRng::seed_from_u64(*options.seed) : ChaChaRng::from_entropy();
  return basin_hopping_fit(start, frequencies_hz, impedances, options.modulus,
                           BasinHoppingOptions{options.basin_hopping_hops, options.basin_hopping_step_size,
                                               options.basin_hopping_temperature},
                           rng);
}

}  // namespace kelvara

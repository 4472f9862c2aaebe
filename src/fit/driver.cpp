#include "fit/driver.hpp"

#include "fit/basin_hopping.hpp"
#include "fit/differential_evolution.hpp"
#include "fit/fit_problem.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/nelder_mead.hpp"
#include "fit/particle_swarm.hpp"
#include "fit/simulated_annealing.hpp"

namespace kelvara {

FitResultOr<FitOutcome> run_fit(const SeriesList& start, std::span<const double> frequencies_hz,
                                std::span<const Complex> impedances, const FitOptions& options,
                                InterruptHook interrupt) {
  const auto method = parse_fit_method(options.method);
  if (!method) return FitError{FitError::Kind::UnknownMethod, options.method};
  // The tolerances are refused before the data is looked at; every other
  // method's options after it.
  const bool options_first = *method == FitMethod::LevenbergMarquardt;
  if (options_first) {
    if (auto e = validate_options(*method, options)) return *e;
  }
  if (auto e = check_fit_inputs(start, frequencies_hz, impedances)) return *e;
  if (auto e = check_start_off_the_floor(start)) return *e;
  if (!options_first) {
    if (auto e = validate_options(*method, options)) return *e;
  }

  FitProblem problem(start, frequencies_hz, impedances, options.modulus, interrupt);
  problem.success_ceiling = success_ceiling(problem);
  switch (*method) {
    case FitMethod::LevenbergMarquardt:
      return levenberg_marquardt_fit(problem, options.levenberg_marquardt());
    case FitMethod::ParticleSwarm:
      return particle_swarm_fit(problem, options.particle_swarm());
    case FitMethod::NelderMead:
      return nelder_mead_fit(problem, options.nelder_mead());
    case FitMethod::DifferentialEvolution:
      return differential_evolution_fit(problem, options.differential_evolution());
    case FitMethod::SimulatedAnnealing:
      return simulated_annealing_fit(problem, options.simulated_annealing());
    case FitMethod::BasinHopping:
      return basin_hopping_fit(problem, options.basin_hopping());
  }
  return FitError{FitError::Kind::UnknownMethod, options.method};
}

}  // namespace kelvara

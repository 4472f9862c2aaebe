#pragma once
// The options of every fitting method, each in its own record with its
// defaults (from the one table, fit_option_table.hpp), the flat record the front door fills, and
// the one place that checks them.

#include <cstdint>
#include <optional>
#include <string>

#include "fit/fit_error.hpp"
#include "fit/fit_method.hpp"
#include "fit/fit_option_table.hpp"

namespace kelvara {

struct LevenbergMarquardtOptions {
  std::uint32_t max_iterations = option_default<std::uint32_t>(
      "max_iterations");  // patience: an evaluation budget of patience * (n + 1)
  double ftol = option_default<double>("ftol");  // positive and finite (-0.0 refused as negative)
  double xtol = option_default<double>("xtol");
};

struct ParticleSwarmOptions {
  std::uint64_t num_particles = option_default<std::uint64_t>("num_particles");  // at least 1
  std::uint64_t generations =
      option_default<std::uint64_t>("generations");  // iteration limit; 0 keeps the initial swarm
  std::optional<std::uint64_t> seed;                 // none: keyed from the OS
};

struct NelderMeadOptions {
  std::uint64_t iterations = option_default<std::uint64_t>(
      "nelder_mead_iterations");  // 0 evaluates the initial simplex only
};

struct DifferentialEvolutionOptions {
  std::uint64_t evaluations =
      option_default<std::uint64_t>("de_evaluations");  // per run; 0 counts as 1
};

struct SimulatedAnnealingOptions {
  std::uint64_t iterations = option_default<std::uint64_t>("sa_iterations");
  double initial_temperature =
      option_default<double>("sa_initial_temperature");  // T0 > 0, and 2 T0 finite
  std::optional<std::uint64_t> seed;  // steps from seed, acceptance from seed + 1 (mod 2^64)
};

struct BasinHoppingOptions {
  std::uint32_t hops = option_default<std::uint32_t>("basin_hopping_hops");
  double step_size =
      option_default<double>("basin_hopping_step_size");  // s: coordinates move uniformly within
                                                          // [-s, s]; s >= 0, 2 s finite
  double temperature =
      option_default<double>("basin_hopping_temperature");  // T of the Metropolis rule; finite
  std::optional<std::uint64_t> seed;                        // none: keyed from the OS
};

// What Circuit.fit() passes down, one field per keyword argument; the
// defaults are the method records' own.
struct FitOptions {
  bool modulus = true;  // "modulus" weighting, else "unit"
  std::string method{kFitMethodNames[std::size_t(FitMethod::LevenbergMarquardt)]};
  std::uint32_t max_iterations = LevenbergMarquardtOptions{}.max_iterations;
  double ftol = LevenbergMarquardtOptions{}.ftol;
  double xtol = LevenbergMarquardtOptions{}.xtol;
  std::uint64_t num_particles = ParticleSwarmOptions{}.num_particles;
  std::uint64_t generations = ParticleSwarmOptions{}.generations;
  std::uint64_t nelder_mead_iterations = NelderMeadOptions{}.iterations;
  std::uint64_t de_evaluations = DifferentialEvolutionOptions{}.evaluations;
  std::uint64_t sa_iterations = SimulatedAnnealingOptions{}.iterations;
  double sa_initial_temperature = SimulatedAnnealingOptions{}.initial_temperature;
  std::uint32_t basin_hopping_hops = BasinHoppingOptions{}.hops;
  double basin_hopping_step_size = BasinHoppingOptions{}.step_size;
  double basin_hopping_temperature = BasinHoppingOptions{}.temperature;
  std::optional<std::uint64_t> seed;

  LevenbergMarquardtOptions levenberg_marquardt() const { return {max_iterations, ftol, xtol}; }
  ParticleSwarmOptions particle_swarm() const { return {num_particles, generations, seed}; }
  NelderMeadOptions nelder_mead() const { return {nelder_mead_iterations}; }
  DifferentialEvolutionOptions differential_evolution() const { return {de_evaluations}; }
  SimulatedAnnealingOptions simulated_annealing() const {
    return {sa_iterations, sa_initial_temperature, seed};
  }
  BasinHoppingOptions basin_hopping() const {
    return {basin_hopping_hops, basin_hopping_step_size, basin_hopping_temperature, seed};
  }
};

// The options `method` reads, against their rules; the error names the
// option, its value and the rule. Other methods' options are not looked at.
std::optional<FitError> validate_options(FitMethod method, const FitOptions& options);

}  // namespace kelvara

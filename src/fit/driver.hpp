#pragma once
// The one entry into fitting: picks the method by its exact name, applies
// the input checks the methods share, and runs it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "fit/fit_error.hpp"
#include "fit/outcome.hpp"

namespace kelvara {

struct FitOptions {
  bool modulus = true;  // "modulus" weighting, else "unit"
  std::string method = "levenberg_marquardt";
  std::uint32_t max_iterations = 200;  // Levenberg-Marquardt patience
  double ftol = 1e-8;
  double xtol = 1e-8;
  std::uint64_t num_particles = 200;
  std::uint64_t generations = 1000;
  std::uint64_t nelder_mead_iterations = 2000;
  std::uint64_t de_evaluations = 20000;
  std::uint64_t sa_iterations = 5000;
  double sa_initial_temperature = 2.0;
  std::uint32_t basin_hopping_hops = 20;
  double basin_hopping_step_size = 1.0;
  double basin_hopping_temperature = 1.0;
  std::optional<std::uint64_t> seed;
};

// The method names, in the order messages list them.
inline constexpr std::string_view kFitMethods[] = {"levenberg_marquardt", "particle_swarm", "nelder_mead",
                                                   "differential_evolution", "simulated_annealing", "basin_hopping"};

// Fits `start` (whose values are the starting point) to the spectrum.
FitResultOr<FitOutcome> run_fit(const SeriesList& start, std::span<const double> frequencies_hz,
                                std::span<const Complex> impedances, const FitOptions& options);

}  // namespace kelvara

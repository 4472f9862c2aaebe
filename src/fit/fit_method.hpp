#pragma once
// The six fitting methods and the one table of their names, which parsing
// and every message read.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace kelvara {

enum class FitMethod {
  LevenbergMarquardt,
  ParticleSwarm,
  NelderMead,
  DifferentialEvolution,
  SimulatedAnnealing,
  BasinHopping,
};

// Indexed by FitMethod, in the order messages list them.
inline constexpr std::array<std::string_view, 6> kFitMethodNames = {
    "levenberg_marquardt",    "particle_swarm",      "nelder_mead",
    "differential_evolution", "simulated_annealing", "basin_hopping"};

// Exact, case-sensitive.
std::optional<FitMethod> parse_fit_method(std::string_view name);
std::string_view name_of(FitMethod method);

// "\"levenberg_marquardt\", \"particle_swarm\", ...": every name in double quotes.
std::string quoted_fit_method_names();

}  // namespace kelvara

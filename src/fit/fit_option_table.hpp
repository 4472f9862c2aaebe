#pragma once
// The one declaration of the fit options: name, type, default, the method
// that reads it and its rule. The option records' defaults, the keyword
// lists and signature texts of Circuit.fit and of kelvara_lab's engine, and
// the companion's and the stub's checks are all derived from this table.

#include <array>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "fit/fit_method.hpp"

namespace kelvara {

enum class OptionType { Text, Count32, Count64, Real, Seed };

struct FitOptionSpec {
  std::string_view name;
  OptionType type;
  std::string_view default_text;   // as a Python signature shows it
  double default_value;            // the numeric default; 0 for text and None
  std::optional<FitMethod> owner;  // the method that reads it; none: every method
  std::string_view rule;
};

// In Circuit.fit's keyword order, after its data and guess arguments.
inline constexpr std::array<FitOptionSpec, 15> kFitOptionTable = {{
    {"weight", OptionType::Text, "\"modulus\"", 0.0, std::nullopt, "\"modulus\" or \"unit\""},
    {"method", OptionType::Text, "\"levenberg_marquardt\"", 0.0, std::nullopt,
     "one of the six method names"},
    {"max_iterations", OptionType::Count32, "200", 200.0, FitMethod::LevenbergMarquardt,
     "patience: an evaluation budget of max_iterations * (n + 1)"},
    {"ftol", OptionType::Real, "1e-8", 1e-8, FitMethod::LevenbergMarquardt,
     "a positive finite number"},
    {"xtol", OptionType::Real, "1e-8", 1e-8, FitMethod::LevenbergMarquardt,
     "a positive finite number"},
    {"num_particles", OptionType::Count64, "200", 200.0, FitMethod::ParticleSwarm, "at least 1"},
    {"generations", OptionType::Count64, "1000", 1000.0, FitMethod::ParticleSwarm,
     "iteration limit; 0 keeps the initial swarm"},
    {"nelder_mead_iterations", OptionType::Count64, "2000", 2000.0, FitMethod::NelderMead,
     "0 evaluates the initial simplex only"},
    {"de_evaluations", OptionType::Count64, "20000", 20000.0, FitMethod::DifferentialEvolution,
     "per run; 0 counts as 1"},
    {"sa_iterations", OptionType::Count64, "5000", 5000.0, FitMethod::SimulatedAnnealing,
     "any count"},
    {"sa_initial_temperature", OptionType::Real, "2.0", 2.0, FitMethod::SimulatedAnnealing,
     "above 0, and its double finite"},
    {"basin_hopping_hops", OptionType::Count32, "20", 20.0, FitMethod::BasinHopping, "any count"},
    {"basin_hopping_step_size", OptionType::Real, "1.0", 1.0, FitMethod::BasinHopping,
     "non-negative, and its double finite"},
    {"basin_hopping_temperature", OptionType::Real, "1.0", 1.0, FitMethod::BasinHopping,
     "a finite number"},
    {"seed", OptionType::Seed, "None", 0.0, std::nullopt,
     "None (from the operating system) or a count; particle swarm, annealing and basin hopping"},
}};

constexpr const FitOptionSpec& fit_option(std::string_view name) {
  for (const FitOptionSpec& option : kFitOptionTable) {
    if (option.name == name) return option;
  }
  throw std::logic_error("no such fit option");  // at compile time: not a constant expression
}

template <class T>
constexpr T option_default(std::string_view name) {
  return static_cast<T>(fit_option(name).default_value);
}

}  // namespace kelvara

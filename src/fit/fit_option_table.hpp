#pragma once
// The one declaration of the fit options: name, type, default, the method
// that reads it and its rule. The option records' defaults, the keyword
// lists and signature texts of Circuit.fit and of kelvara_lab's engine, and
// the companion's and the stub's checks are all derived from this table:
// Circuit.fit's rows first, then the rows only kelvara_lab's engine takes
// (it takes weight, max_iterations, ftol and xtol from the first part).

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "fit/fit_method.hpp"

namespace kelvara {

enum class OptionType { Text, Count32, Count64, Real, Seed, Flag };

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

// Most a search's effort may multiply its starts by: at 16, 4096 draws, 256
// screened, 64 polished and 128 hops, minutes a fit; beyond, nothing the
// benchmarks measured gets better.
inline constexpr std::uint32_t kMaxEffort = 16;

// The engine's own options, in its keyword order after the shared ones.
inline constexpr std::array<FitOptionSpec, 3> kEngineOptionTable = {{
    {"search", OptionType::Text, "\"thorough\"", 0.0, std::nullopt,
     "\"thorough\", \"quick\" (a quarter of the starts) or \"local\" (the multi-start alone)"},
    {"seed", OptionType::Count64, "0", 0.0, std::nullopt, "any count: the search's draws"},
    // On bench/search.py effort 1, 2 and 4 reached the reference on 87.0, 89.4
    // and 91.9 % of spectra: the rate is worth the time.
    {"effort", OptionType::Count32, "4", 4.0, std::nullopt,
     "1 to 16: multiplies the search's draws, screened starts, polishes and hops"},
}};

constexpr const FitOptionSpec& engine_option(std::string_view name) {
  for (const FitOptionSpec& option : kEngineOptionTable) {
    if (option.name == name) return option;
  }
  throw std::logic_error("no such engine option");  // at compile time: not a constant expression
}

constexpr const FitOptionSpec& fit_option(std::string_view name) {
  for (const FitOptionSpec& option : kFitOptionTable) {
    if (option.name == name) return option;
  }
  throw std::logic_error("no such fit option");  // at compile time: not a constant expression
}

// A text option's default without the quotes its signature shows.
constexpr std::string_view text_default_of(const FitOptionSpec& option) {
  return option.default_text.substr(1, option.default_text.size() - 2);
}

template <class T>
constexpr T option_default_of(const FitOptionSpec& option) {
  return static_cast<T>(option.default_value);
}

template <class T>
constexpr T option_default(std::string_view name) {
  return option_default_of<T>(fit_option(name));
}

}  // namespace kelvara

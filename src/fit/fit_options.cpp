#include "fit/fit_options.hpp"

#include <cmath>

#include "support/text_format.hpp"

namespace kelvara {
namespace {

FitError invalid(const char* name, const char* rule, double value) {
  return FitError{FitError::Kind::InvalidOption,
                  std::string(name) + " must be " + rule + ", got " + format_debug(value)};
}

// MINPACK rejects negative tolerances mid-run; -0.0 slips past its test but
// is as meaningless, zero never triggers, and an infinite or NaN tolerance
// "converges" at once. All are refused before any work, by one rule.
std::optional<FitError> check_tolerance(const char* name, double value) {
  if (!(value > 0.0) || !std::isfinite(value))
    return invalid(name, "a positive finite number", value);
  return std::nullopt;
}

}  // namespace

std::optional<FitError> validate_options(FitMethod method, const FitOptions& options) {
  switch (method) {
    case FitMethod::LevenbergMarquardt:
      if (auto e = check_tolerance("ftol", options.ftol)) return e;
      return check_tolerance("xtol", options.xtol);
    case FitMethod::ParticleSwarm:
      if (options.num_particles == 0) {
        return FitError{FitError::Kind::InvalidOption, "num_particles must be at least 1, got 0"};
      }
      return std::nullopt;
    case FitMethod::SimulatedAnnealing: {
      const double t0 = options.sa_initial_temperature;
      // The wording of the annealing library this method follows.
      if (t0 <= 0.0) {
        return FitError{FitError::Kind::Solver,
                        "Invalid parameter: " +
                            debug_quote("`SimulatedAnnealing`: Initial temperature must be > 0.")};
      }
      // Steps are drawn from [-T, T), whose width 2T must be a finite number.
      if (!std::isfinite(2.0 * t0))
        return invalid("sa_initial_temperature", "a number whose double is finite", t0);
      return std::nullopt;
    }
    case FitMethod::BasinHopping: {
      const double s = options.basin_hopping_step_size;
      // Perturbations are drawn from [-s, s], whose width 2s must be a finite
      // number; -0.0 counts as 0.
      if (!(s >= 0.0) || !std::isfinite(2.0 * s)) {
        return invalid("basin_hopping_step_size", "a non-negative number whose double is finite",
                       s);
      }
      // The Metropolis rule divides by T: NaN or inf would accept every hop.
      const double t = options.basin_hopping_temperature;
      if (!std::isfinite(t)) return invalid("basin_hopping_temperature", "a finite number", t);
      return std::nullopt;
    }
    case FitMethod::NelderMead:
    case FitMethod::DifferentialEvolution:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace kelvara

#include "fit/fit_error.hpp"

#include "support/text_format.hpp"

namespace kelvara {

std::string FitError::message() const {
  switch (kind) {
    case Kind::LengthMismatch:
      return "frequencies and impedances must have the same length";
    case Kind::EmptySpectrum:
      return "frequencies and impedances must not be empty";
    case Kind::NoParameters:
      return "circuit topology has no parameters to fit";
    case Kind::Solver:
      return "solver error: " + payload;
    case Kind::UnknownMethod:
      return "unknown fit method " + debug_quote(payload) +
             ", expected one of \"levenberg_marquardt\", \"particle_swarm\", \"nelder_mead\", "
             "\"differential_evolution\", \"simulated_annealing\", \"basin_hopping\"";
    case Kind::InvalidOption:
      return payload;
  }
  return {};
}

}  // namespace kelvara

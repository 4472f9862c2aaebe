#include "fit/fit_error.hpp"

#include "fit/fit_method.hpp"
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
      return "unknown fit method " + debug_quote(payload) + ", expected one of " +
             quoted_fit_method_names();
    case Kind::InvalidOption:
    case Kind::InvalidStart:
      return payload;
  }
  return {};
}

}  // namespace kelvara

#pragma once
// The error every fitting method returns instead of an outcome.

#include <string>
#include <variant>

namespace kelvara {

struct FitError {
  enum class Kind {
    LengthMismatch,
    EmptySpectrum,
    NoParameters,
    Solver,
    UnknownMethod,
    InvalidOption,
    InvalidStart
  };

  Kind kind;
  std::string payload;  // Solver: the solver's text; UnknownMethod: the name; InvalidOption,
                        // InvalidStart: the message

  std::string message() const;
};

// Either a value or a FitError.
template <class T>
using FitResultOr = std::variant<T, FitError>;

}  // namespace kelvara

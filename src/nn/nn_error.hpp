#pragma once
// The error of weight-file decoding and of the guesser network.

#include <cstdint>
#include <string>
#include <variant>

namespace kelvara {

struct NnError {
  enum class Kind {
    Io,  // text: the operating system's message
    BadMagic,
    Truncated,
    Missing,           // text: key or tensor name
    Unparsable,        // text: key or a description
    UnknownEstimator,  // text: the estimator named by the file
    UnknownEncoding,   // number: the encoding byte
    ShapeMismatch,     // text: tensor name; number: got; expected
    TooFewPoints,      // number: the point count
    UnusablePoint,     // number: the point's index; text: what is wrong with it
  };

  Kind kind;
  std::string text;
  std::uint64_t number = 0;
  std::uint64_t expected = 0;

  std::string message() const;
};

template <class T>
using NnResult = std::variant<T, NnError>;

}  // namespace kelvara

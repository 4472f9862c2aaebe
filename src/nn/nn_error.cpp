#include "nn/nn_error.hpp"

#include "support/text_format.hpp"

namespace kelvara {

std::string NnError::message() const {
  switch (kind) {
    case Kind::Io:
      return "reading weights: " + text;
    case Kind::BadMagic:
      return "not an eisnn weight file (bad magic bytes)";
    case Kind::Truncated:
      return "weight file is truncated";
    case Kind::Missing:
      return "weight file is missing " + debug_quote(text);
    case Kind::Unparsable:
      return "weight file has an unparsable value for " + debug_quote(text);
    case Kind::UnknownEstimator:
      return "weight file was normalised with the " + debug_quote(text) +
             " scale estimator, which this build does not implement (supported: reactive_centroid)";
    case Kind::UnknownEncoding:
      return "weight file uses tensor encoding " + std::to_string(number) +
             ", which this build does not know";
    case Kind::ShapeMismatch:
      return "tensor " + debug_quote(text) + " has " + std::to_string(number) +
             " elements, expected " + std::to_string(expected);
    case Kind::TooFewPoints:
      return "need at least 2 frequency points to guess, got " + std::to_string(number);
    case Kind::UnusablePoint:
      return "cannot guess from point " + std::to_string(number) + ": " + text;
  }
  return {};
}

}  // namespace kelvara

#pragma once
// The machine-learning guess of a circuit's starting parameters: find the
// network for the circuit's topology (or load the one a file names), run it
// on the spectrum, and carry its outputs into the circuit's own parameter
// order, converting back through any K or Zarc expansion.

#include <complex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "circuit/node.hpp"

namespace kelvara {

// The starting values in param_names() order, or the error message.
std::variant<std::vector<double>, std::string> guess_params(
    const SeriesList& nodes, std::span<const double> f, std::span<const std::complex<double>> z,
    const std::optional<std::string>& weights_path);

std::string no_model_message();

}  // namespace kelvara

#pragma once
// The impedance of a tree and its derivative with respect to every
// parameter at one frequency, by the chain rule through series sums and
// parallel reciprocals. A custom element's derivatives are exact (its
// formula's forward-mode pass); a built-in element's are central
// differences of its own formula alone.

#include <span>

#include "circuit/node.hpp"

namespace kelvara {

// True when any leaf is a custom element.
bool has_custom_leaves(const SeriesList& nodes);

// Z(omega) from `params` (param_count values), and dZ/dp_j into `dz`
// (param_count entries). Allocates nothing.
Complex impedance_derivatives(const SeriesList& nodes, std::span<const double> params, double omega,
                              std::span<Complex> dz);

}  // namespace kelvara

#pragma once
// The impedance of a tree and its derivative with respect to every
// parameter, over many frequencies, a block at a time.
//
// Each element is differentiated alone (R, C, L, La, CPE and W in closed
// form from their impedance, a custom element exactly through its formula's
// forward-mode pass, the other built-ins by central differences of their own
// formula over the block) and the chain rule carries the derivatives
// through series sums and parallel reciprocals. Differencing the whole
// circuit evaluates every element twice per parameter; this evaluates each
// element 2 * count + 1 times, and a parameter's difference never cancels
// against the rest of the circuit.

#include <span>

#include "circuit/node.hpp"

namespace kelvara {

// z[k] = Z(omegas[k]) and dz[j * omegas.size() + k] = dZ/dp_j there, from
// `params` (param_count values; dz holds param_count * omegas.size()).
// Allocates once per call, never per point.
void impedance_derivatives_at(const SeriesList& nodes, std::span<const double> params,
                              std::span<const double> omegas, std::span<Complex> z,
                              std::span<Complex> dz);

}  // namespace kelvara

#pragma once
// Impedance of a tree over many frequencies, a block at a time.
//
// The walk goes element by element over a block of frequencies instead of
// frequency by frequency over the tree: the tree is walked once per block,
// each element's formula runs over the whole block, and the series sums and
// parallel reciprocals become loops the compiler vectorises. Every number is
// the one the single-frequency `impedance` computes, bit for bit: the same
// operations in the same order, only interleaved differently.

#include <span>

#include "circuit/node.hpp"
#include "circuit/tree.hpp"

namespace kelvara {

// out[k] = impedance(nodes, omegas[k]), any number of points.
void impedance_at(const SeriesList& nodes, std::span<const double> omegas, std::span<Complex> out);

// The same with the fields read from `params` (at least param_count values),
// bit for bit series_impedance_with_params; running out of values is the
// same invariant failure.
void impedance_at(const SeriesList& nodes, std::span<const double> params, std::span<const double> omegas,
                  std::span<Complex> out);

}  // namespace kelvara

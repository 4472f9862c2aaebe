#pragma once
// Impedance of a tree over many frequencies, a block at a time.
//
// The walk goes element by element over a block of frequencies instead of
// frequency by frequency over the tree: the tree is walked once per block,
// each element's formula runs over the whole block, and the series sums and
// parallel reciprocals become loops the compiler vectorises. Each point gets
// the same operations in the same order as one evaluated alone, so
// `impedance` and `series_impedance_with_params` (tree.hpp) are its
// one-point case.

#include <span>

#include "circuit/node.hpp"
#include "circuit/tree.hpp"

namespace kelvara {

// out[k] = impedance at omegas[k] (rad/s) from the stored values, any number of points.
void impedance_at(const SeriesList& nodes, std::span<const double> omegas, std::span<Complex> out);

// The same with the fields read from `params` (at least param_count values)
// for every point; running out of values is the invariant failure
// "impedance_from_iter: not enough values supplied".
void impedance_at(const SeriesList& nodes, std::span<const double> params,
                  std::span<const double> omegas, std::span<Complex> out);

}  // namespace kelvara

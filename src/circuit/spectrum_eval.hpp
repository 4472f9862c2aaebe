#pragma once
// Impedance of a circuit over a list of frequencies.

#include <span>

#include "circuit/node.hpp"

namespace kelvara {

// 2 pi, the factor from hertz to rad/s used everywhere.
inline constexpr double kTwoPi = 6.283185307179586;

// From this many points on, the evaluation runs on the worker pool; below
// it, thread hand-off costs more than it saves.
inline constexpr std::size_t kParallelThreshold = 1000;

// out[i] = impedance at frequencies_hz[i]; out must have the same length.
void impedance_spectrum(const SeriesList& nodes, std::span<const double> frequencies_hz,
                        std::span<Complex> out);

}  // namespace kelvara

#pragma once
// Starting points for the search, scaled from the spectrum alone.
//
// The spectrum gives the scales every element kind needs: the range of |Z|
// and the high-frequency intercept for resistances, the frequency window
// and the peaks of -Im Z for time constants, |Z| and the window together
// for capacitances, constant-phase and Warburg coefficients and
// inductances. Each free parameter gets a range of values on those scales
// (log-uniform for the open-ended ones, inside the box for the bounded
// ones); starts are drawn from those ranges quasi-randomly (a Halton
// sequence, shifted by the seed), and laid out deliberately: every time
// constant on a feature of the spectrum, in each order, the resistances
// shared out from the intercept and the polarisation.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/node.hpp"
#include "support/interrupt.hpp"

namespace kelvara {

// What the starts are scaled from.
struct SpectrumScales {
  double z_min = 1.0, z_max = 1.0;          // smallest and largest finite |Z|, ohm
  double r_high = 0.0;                      // Re Z at the highest frequency, ohm
  double r_polarisation = 1.0;              // Re Z at the lowest minus r_high, at least z_min / 10
  double omega_min = 1.0, omega_max = 1.0;  // rad/s
  double inductance = 0.0;           // Im Z / omega at the highest frequency when positive, H
  std::vector<double> feature_taus;  // 1 / omega at the peaks of -Im Z, largest peak first
};

// From angular frequencies (rad/s); non-finite and zero points are ignored.
SpectrumScales spectrum_scales(std::span<const double> omegas, std::span<const Complex> impedances);

// The range (lo, hi) a start draws one parameter from: log10 of the value
// for an open-ended parameter, the value itself for a bounded one; always
// inside `box`.
struct DrawRange {
  double lo;
  double hi;
  bool logarithmic;
};

// One range per parameter, in parameter order.
std::vector<DrawRange> draw_ranges(const SeriesList& nodes, const SpectrumScales& scales,
                                   std::span<const Bounds> box);

// `count` quasi-random starts (physical values, every parameter): point i of
// the Halton sequence in as many dimensions as there are parameters, shifted
// by a seed-derived offset (mod 1) in each. Held parameters keep `base`.
// A large count takes a while: `interrupt`, when given, is polled per start.
std::vector<std::vector<double>> quasi_random_starts(std::span<const DrawRange> ranges,
                                                     std::span<const double> base,
                                                     std::span<const bool> held, std::size_t count,
                                                     std::uint64_t seed,
                                                     InterruptPoll* interrupt = nullptr);

// `count` points around `centre`: each free open-ended parameter scaled by up
// to half a decade either way, each bounded one moved by up to a tenth of
// its range (and kept inside), from a seeded sequence.
std::vector<std::vector<double>> perturbed_starts(std::span<const double> centre,
                                                  std::span<const DrawRange> ranges,
                                                  std::span<const Bounds> box,
                                                  std::span<const bool> held, std::size_t count,
                                                  std::uint64_t seed,
                                                  InterruptPoll* interrupt = nullptr);

// Starts laid out from the features: time constants on the spectrum's
// peaks in each assignment order (and spread across the window when it has
// fewer peaks than the circuit has time constants), resistances from the
// intercept and the polarisation, inductances from the high-frequency tail.
// At most `limit` of them. Held parameters keep `base`.
std::vector<std::vector<double>> structured_starts(const SeriesList& nodes,
                                                   const SpectrumScales& scales,
                                                   std::span<const Bounds> box,
                                                   std::span<const double> base,
                                                   std::span<const bool> held, std::size_t limit);

// The parameter range [first, first + count) of each item in series with
// the whole circuit: an element, or a parallel group with all it holds.
struct ItemSpan {
  std::size_t first;
  std::size_t count;
};
std::vector<ItemSpan> series_item_spans(const SeriesList& nodes);

}  // namespace kelvara

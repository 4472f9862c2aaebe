#include "circuit/spectrum_eval.hpp"

#include "circuit/tree.hpp"
#include "circuit/worker_pool.hpp"
#include "elements/invariant.hpp"

namespace kelvara {

void impedance_spectrum(const SeriesList& nodes, std::span<const double> frequencies_hz,
                        std::span<Complex> out) {
  if (out.size() != frequencies_hz.size()) invariant_failed("impedance_spectrum: output length differs");
  auto one = [&](std::size_t i) { out[i] = impedance(nodes, frequencies_hz[i] * kTwoPi); };
  if (frequencies_hz.size() < kParallelThreshold) {
    for (std::size_t i = 0; i < frequencies_hz.size(); ++i) one(i);
  } else {
    parallel_for_each_index(frequencies_hz.size(), one);
  }
}

}  // namespace kelvara

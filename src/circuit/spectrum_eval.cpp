#include "circuit/spectrum_eval.hpp"

#include <algorithm>
#include <array>

#include "circuit/block_eval.hpp"
#include "support/invariant.hpp"
#include "support/worker_pool.hpp"

namespace kelvara {

void impedance_spectrum(const SeriesList& nodes, std::span<const double> frequencies_hz,
                        std::span<Complex> out) {
  if (out.size() != frequencies_hz.size())
    invariant_failed("impedance_spectrum: output length differs");
  constexpr std::size_t kBlock = Element::kBlockPoints;
  const std::size_t blocks = (frequencies_hz.size() + kBlock - 1) / kBlock;
  auto one_block = [&](std::size_t b) {
    const std::size_t start = b * kBlock, n = std::min(kBlock, frequencies_hz.size() - start);
    std::array<double, kBlock> omegas;
    for (std::size_t i = 0; i < n; ++i) omegas[i] = frequencies_hz[start + i] * kTwoPi;
    impedance_at(nodes, {omegas.data(), n}, out.subspan(start, n));
  };
  if (frequencies_hz.size() < kParallelThreshold) {
    for (std::size_t b = 0; b < blocks; ++b) one_block(b);
  } else {
    parallel_for_each_index(blocks, one_block);
  }
}

}  // namespace kelvara

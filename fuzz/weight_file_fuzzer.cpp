// libFuzzer target: any byte string as a weight file, and a file that loads
// through a prediction on a small spectrum. Errors are fine; reads out of
// range, undefined behaviour, aborts and runaway allocations are not.

#include <complex>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "nn/guesser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto loaded = kelvara::Guesser::from_bytes(std::span(data, size));
  const auto* guesser = std::get_if<kelvara::Guesser>(&loaded);
  if (!guesser) {
    (void)std::get<kelvara::NnError>(loaded).message();
    return 0;
  }
  const std::vector<double> f = {0.1, 1.0, 10.0, 100.0, 1e3, 1e4};
  std::vector<std::complex<double>> z;
  for (const double fi : f)
    z.push_back(10.0 + 100.0 / std::complex<double>(1.0, 2e-3 * 3.141592653589793 * fi));
  const auto predicted = guesser->predict(f, z);
  if (const auto* error = std::get_if<kelvara::NnError>(&predicted)) (void)error->message();
  return 0;
}

// libFuzzer target: any byte string through the circuit notation parser.
// A parse either fails with a report or yields a tree whose names, values,
// rebuild and impedance all agree on the parameter count.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "circuit/parser.hpp"
#include "circuit/tree.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const kelvara::ParseOutcome outcome = kelvara::parse(text);
  if (outcome.error) {
    if (kelvara::parse_error_report(text, *outcome.error).empty()) std::abort();
    return 0;
  }
  const std::size_t n = kelvara::param_count(outcome.tree);
  const auto values = kelvara::param_values(outcome.tree);
  if (kelvara::param_names(outcome.tree).size() != n || values.size() != n) std::abort();
  if (kelvara::param_bounds(outcome.tree).size() != n ||
      kelvara::param_units(outcome.tree).size() != n)
    std::abort();
  const kelvara::SeriesList again = kelvara::rebuild(outcome.tree, values);
  for (const double omega : {0.0, 1e-3, 1.0, 1e6}) {
    const auto z = kelvara::impedance(outcome.tree, omega);
    const auto z_again = kelvara::impedance(again, omega);
    // Bit for bit, NaN included.
    if (std::memcmp(&z, &z_again, sizeof z) != 0) std::abort();
  }
  return 0;
}

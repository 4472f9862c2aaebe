// libFuzzer target: any byte string through the formula compiler. A
// compilation either fails with a report or yields a tape whose block
// evaluation gives each point what it gives that point alone (bit for bit;
// a NaN as a NaN, whatever its sign and payload, which compilers may set
// differently in vector and scalar code), and whose derivative pass runs at
// every point.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "elements/formula.hpp"

namespace {

bool same(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> names = {"R", "tau", "alpha"};
  const kelvara::FormulaCompilation out = kelvara::compile_formula(text, names);
  if (out.error) {
    if (kelvara::formula_error_report(text, *out.error).empty()) std::abort();
    return 0;
  }
  if (!out.tape || out.tape->code.empty()) std::abort();
  const double params[] = {2.0, 1e-3, 0.8};
  const double omegas[] = {0.0, 1e-3, 1.0, 1e6};
  double re[4], im[4];
  kelvara::evaluate_formula_block(*out.tape, params, omegas, re, im);
  for (int k = 0; k < 4; ++k) {
    double one_re = 0.0, one_im = 0.0;
    kelvara::evaluate_formula_block(*out.tape, params, {&omegas[k], 1}, &one_re, &one_im);
    if (!same(re[k], one_re) || !same(im[k], one_im)) std::abort();
    kelvara::Complex d[3];
    (void)kelvara::evaluate_formula_derivatives(*out.tape, params, omegas[k], d);
  }
  return 0;
}

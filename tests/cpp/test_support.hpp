// Helpers the C++ tests share: parsed circuits and synthetic spectra.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string_view>
#include <vector>

#include "circuit/parser.hpp"
#include "circuit/spectrum_eval.hpp"
#include "circuit/tree.hpp"

namespace kelvara {

inline SeriesList parsed(std::string_view text) {
  ParseOutcome out = parse(text);
  EXPECT_FALSE(out.error) << text;
  return out.tree;
}

// n frequencies from hi down to lo, evenly spaced in log.
inline std::vector<double> log_frequencies(double hi, double lo, std::size_t n) {
  std::vector<double> f(n);
  for (std::size_t i = 0; i < n; ++i) f[i] = hi * std::pow(lo / hi, double(i) / double(n - 1));
  return f;
}

inline std::vector<Complex> spectrum_of(const SeriesList& tree, const std::vector<double>& f) {
  std::vector<Complex> z(f.size());
  impedance_spectrum(tree, f, z);
  return z;
}

// Circuits that cover every built-in kind, exponents on their exact paths and
// nesting four deep, with values (extra values are ignored).
struct CircuitCase {
  const char* notation;
  std::vector<double> values;
  friend void PrintTo(const CircuitCase& c, std::ostream* os) { *os << c.notation; }
};

inline std::vector<CircuitCase> kind_covering_circuits() {
  return {{"R0-(R1,CPE1)-(R2-Wo2,CPE2)", {0.02, 0.01, 0.05, 0.85, 0.03, 0.01, 5.0, 2.0, 0.8}},
          {"L0-R0-(R1-Wo1,CPE1)-(Gs2,T2,Tlmq2)-La3",
           {2e-6, 0.1, 3.0, 2.0, 5.0, 2e-4, 0.85, 1.0, 2.0, 0.5, 1.0, 1.0, 3.0, 0.2, 4.0, 1e-3, 0.9,
            1e-5, 0.7}},
          // exponents on the exact paths, and elements that go to NaN at omega = 0
          {"(CPE0,C1,W2)-(CPE3,Ws4)-K5-Zarc6-G7",
           {1e-3, 1.0, 2e-3, 3.0, 1e-2, 0.5, 1.0, 2.0, 4.0, 0.01, 2.0, 1e-3, 1.0, 1.0, 0.3}},
          {"CPE0-(CPE1,(R2,(R3,(C4,R5))))", {1e-3, 0.0, 2e-3, 0.7, 1.0, 2.0, 3.0, 1e-6, 4.0}}};
}

}  // namespace kelvara

// Helpers the C++ tests share: parsed circuits and synthetic spectra.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
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

}  // namespace kelvara

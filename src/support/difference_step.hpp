#pragma once
// The step of every central difference in the library: the cube root of
// machine epsilon (it balances truncation against rounding error) times the
// value's magnitude, never below 1e-8 of it.

#include <cmath>

namespace kelvara {

inline constexpr double kCbrtEpsilon = 6.055454452393343e-06;

inline double difference_step(double value) {
  return kCbrtEpsilon * std::fmax(std::fabs(value), 1e-8);
}

}  // namespace kelvara

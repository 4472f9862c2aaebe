#pragma once
// IEEE 754 totalOrder as an integer key, for sorting doubles that may be NaN:
// -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.

#include <cstdint>
#include <cstring>

namespace kelvara {

inline std::int64_t total_order_key(double x) {
  std::int64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

}  // namespace kelvara

#include "elements/complex_math.hpp"

#include <array>

namespace kelvara {

RightAngleTurn right_angle_turn(double p) {
  struct Entry {
    double p;
    RightAngleTurn turn;
  };
  // A handful of entries per thread, replaced round-robin; NaN never matches.
  constexpr int kEntries = 4;
  thread_local std::array<Entry, kEntries> memo = [] {
    std::array<Entry, kEntries> m{};
    for (auto& e : m) e.p = std::numeric_limits<double>::quiet_NaN();
    return m;
  }();
  thread_local int next = 0;
  for (const Entry& e : memo) {
    if (e.p == p) return e.turn;
  }
  const double t = 1.5707963267948966 * p;  // atan2(y > 0, 0) * p, as the general formula
  Entry& e = memo[std::size_t(next)];
  e = {p, {std::cos(t), std::sin(t)}};
  next = (next + 1) % kEntries;
  return e.turn;
}

}  // namespace kelvara

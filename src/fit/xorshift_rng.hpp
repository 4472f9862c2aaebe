#pragma once
// The fast non-cryptographic generator of differential evolution:
// Marsaglia's xorshift128 over four 32-bit words,
//   t = x ^ (x << 11);  (x, y, z) = (y, z, w);  w = w ^ (w >> 19) ^ t ^ (t >> 8),
// each step yielding the new w. Seeded from the operating system for every
// run, so its streams are never reproduced; only their quality matters.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fit/chacha_rng.hpp"

namespace kelvara {

class XorShiftRng {
 public:
  // An all-zero state would only ever yield zeros; it is replaced by
  // Marsaglia's published starting state.
  explicit XorShiftRng(std::array<std::uint32_t, 4> state) : s_(state) {
    if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_ = {123456789, 362436069, 521288629, 88675123};
  }

  static XorShiftRng from_entropy() {
    std::array<std::uint32_t, 4> state;
    fill_from_entropy(std::as_writable_bytes(std::span(state)));
    return XorShiftRng(state);
  }

  std::uint32_t next_u32() {
    const std::uint32_t t = s_[0] ^ (s_[0] << 11);
    s_[0] = s_[1], s_[1] = s_[2], s_[2] = s_[3];
    s_[3] = s_[3] ^ (s_[3] >> 19) ^ t ^ (t >> 8);
    return s_[3];
  }

  // Uniform in [0, 1) from the top 24 bits: (u >> 8) * 2^-24.
  float next_unit() { return float(next_u32() >> 8) * 0x1p-24f; }

  // Uniform between low and high from 23 mantissa bits: v in [1, 2) with
  // the bits (u >> 9), then (v - 1) * (high - low) + low.
  float uniform_range(float low, float high) {
    const float v = std::bit_cast<float>((next_u32() >> 9) | 0x3f800000u);
    return (v - 1.0f) * (high - low) + low;
  }

  // Uniform in [0, n) for n >= 1, without modulo bias: the high word of
  // u * n, redrawing u when it falls in the short final stretch (Lemire).
  std::size_t below(std::uint32_t n) {
    const std::uint32_t threshold = std::uint32_t(-n) % n;
    for (;;) {
      const std::uint64_t m = std::uint64_t(next_u32()) * n;
      if (std::uint32_t(m) >= threshold) return std::size_t(m >> 32);
    }
  }

 private:
  std::array<std::uint32_t, 4> s_;
};

}  // namespace kelvara

#pragma once
// The random generator of the seeded fitting methods: ChaCha with 12 rounds
// (Bernstein's stream cipher used as a generator), so that a seed reproduces
// a fit bit for bit.
//
// State, sixteen 32-bit words: the four constants "expand 32-byte k", the
// eight key words, a 64-bit block counter in words 12-13 (low word first)
// starting at 0, and stream 0 in words 14-15. Each block yields sixteen
// output words in order; a 64-bit output is two consecutive words, the
// first one the low half, so 32- and 64-bit draws share one word stream.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvara {

class ChaChaRng {
 public:
  using Key = std::array<std::uint32_t, 8>;

  explicit ChaChaRng(const Key& key);

  // The key from a 64-bit seed by the PCG32 expansion: eight outputs of a
  // PCG32 stream (state advanced before each output) started at the seed.
  static ChaChaRng seed_from_u64(std::uint64_t seed);
  static Key expand_seed(std::uint64_t seed);

  // A key read from the operating system's entropy source; failing to read
  // one is an invariant failure ("from_os_rng failed: ...").
  static ChaChaRng from_entropy();

  std::uint32_t next_u32();
  std::uint64_t next_u64();

  // Uniform in [0, 1) from the top 53 bits of one 64-bit output:
  // (u >> 11) * 2^-53.
  double next_unit();

  // Uniform between low and high from 52 mantissa bits of one 64-bit output:
  // v in [1, 2) gets the bits (u >> 12) under the exponent of 1.0, and the
  // draw is (v - 1) * (high - low) + low, computed in that order. Callers
  // keep high - low finite; low > high is allowed (draws then lie in
  // (high, low]).
  double uniform_range(double low, double high);

 private:
  void refill();

  std::array<std::uint32_t, 16> input_;
  std::array<std::uint32_t, 16> block_;
  std::size_t index_;  // next unread word of block_; 16 when spent
};

// Fills `out` from the operating system's entropy source (getentropy, in
// pieces of at most 256 bytes); an invariant failure when it cannot.
void fill_from_entropy(std::span<std::byte> out);

}  // namespace kelvara

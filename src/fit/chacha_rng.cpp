#include "fit/chacha_rng.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "support/invariant.hpp"

namespace kelvara {
namespace {

constexpr int kDoubleRounds = 6;  // ChaCha12

void quarter_round(std::array<std::uint32_t, 16>& s, int a, int b, int c, int d) {
  s[a] += s[b], s[d] = std::rotl(s[d] ^ s[a], 16);
  s[c] += s[d], s[b] = std::rotl(s[b] ^ s[c], 12);
  s[a] += s[b], s[d] = std::rotl(s[d] ^ s[a], 8);
  s[c] += s[d], s[b] = std::rotl(s[b] ^ s[c], 7);
}

}  // namespace

ChaChaRng::ChaChaRng(const Key& key) : block_{}, index_(16) {
  input_ = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};  // "expand 32-byte k"
  for (std::size_t i = 0; i < 8; ++i) input_[4 + i] = key[i];
  for (std::size_t i = 12; i < 16; ++i) input_[i] = 0;
}

ChaChaRng::Key ChaChaRng::expand_seed(std::uint64_t seed) {
  constexpr std::uint64_t kMultiplier = 6364136223846793005ULL;
  constexpr std::uint64_t kIncrement = 11634580027462260723ULL;
  Key key;
  std::uint64_t state = seed;
  for (auto& word : key) {
    // Advancing first moves away from seeds with few set bits.
    state = state * kMultiplier + kIncrement;
    const auto xorshifted = std::uint32_t(((state >> 18) ^ state) >> 27);
    word = std::rotr(xorshifted, int(state >> 59));
  }
  return key;
}

ChaChaRng ChaChaRng::seed_from_u64(std::uint64_t seed) { return ChaChaRng(expand_seed(seed)); }

ChaChaRng ChaChaRng::from_entropy() {
  std::array<std::byte, 32> bytes;
  fill_from_entropy(bytes);
  Key key;
  // Little-endian words, as a seed's bytes are read.
  for (std::size_t i = 0; i < 8; ++i) {
    key[i] = std::uint32_t(bytes[4 * i]) | std::uint32_t(bytes[4 * i + 1]) << 8 |
             std::uint32_t(bytes[4 * i + 2]) << 16 | std::uint32_t(bytes[4 * i + 3]) << 24;
  }
  return ChaChaRng(key);
}

void ChaChaRng::refill() {
  block_ = input_;
  for (int i = 0; i < kDoubleRounds; ++i) {
    quarter_round(block_, 0, 4, 8, 12);  // columns
    quarter_round(block_, 1, 5, 9, 13);
    quarter_round(block_, 2, 6, 10, 14);
    quarter_round(block_, 3, 7, 11, 15);
    quarter_round(block_, 0, 5, 10, 15);  // diagonals
    quarter_round(block_, 1, 6, 11, 12);
    quarter_round(block_, 2, 7, 8, 13);
    quarter_round(block_, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < 16; ++i) block_[i] += input_[i];
  if (++input_[12] == 0) ++input_[13];  // 64-bit block counter
  index_ = 0;
}

std::uint32_t ChaChaRng::next_u32() {
  if (index_ == 16) refill();
  return block_[index_++];
}

std::uint64_t ChaChaRng::next_u64() {
  const std::uint64_t low = next_u32();
  return low | std::uint64_t(next_u32()) << 32;
}

double ChaChaRng::next_unit() { return double(next_u64() >> 11) * 0x1p-53; }

double ChaChaRng::uniform_range(double low, double high) {
  const std::uint64_t bits = (next_u64() >> 12) | 0x3ff0000000000000ULL;
  return (std::bit_cast<double>(bits) - 1.0) * (high - low) + low;
}

void fill_from_entropy(std::span<std::byte> out) {
  while (!out.empty()) {
    const std::size_t n = std::min<std::size_t>(out.size(), 256);
    if (getentropy(out.data(), n) != 0)
      invariant_failed(std::string("from_os_rng failed: ") + std::strerror(errno));
    out = out.subspan(n);
  }
}

}  // namespace kelvara

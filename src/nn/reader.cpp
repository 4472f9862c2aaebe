#include "nn/reader.hpp"

#include <bit>
#include <cstring>

#include "support/utf8.hpp"

namespace kelvara {

std::optional<std::span<const std::uint8_t>> Reader::take(std::uint64_t n) {
  if (n > remaining()) return std::nullopt;
  const auto out = bytes_.subspan(pos_, std::size_t(n));
  pos_ += std::size_t(n);
  return out;
}

std::optional<std::uint8_t> Reader::u8() {
  const auto b = take(1);
  if (!b) return std::nullopt;
  return (*b)[0];
}

std::optional<std::uint32_t> Reader::u32() {
  const auto b = take(4);
  if (!b) return std::nullopt;
  return std::uint32_t((*b)[0]) | std::uint32_t((*b)[1]) << 8 | std::uint32_t((*b)[2]) << 16 |
         std::uint32_t((*b)[3]) << 24;
}

std::optional<float> Reader::f32() {
  const auto bits = u32();
  if (!bits) return std::nullopt;
  return std::bit_cast<float>(*bits);
}

std::optional<std::string> Reader::string() {
  const auto length = u32();
  if (!length) return std::nullopt;
  const auto b = take(*length);
  if (!b) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(b->data()), b->size());
  if (!is_valid_utf8(text)) return std::nullopt;
  return text;
}

}  // namespace kelvara

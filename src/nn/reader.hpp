#pragma once
// A bounds-checked cursor over the bytes of a weight file. Every read that
// would pass the end (or overflow the position) fails as Truncated, so no
// count or length in a file can make the decoder read out of range.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kelvara {

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  // The next n bytes, or nothing when fewer remain.
  std::optional<std::span<const std::uint8_t>> take(std::uint64_t n);
  std::optional<std::uint8_t> u8();
  std::optional<std::uint32_t> u32();  // little-endian
  std::optional<float> f32();          // little-endian binary32
  // A u32 byte length and that many bytes of valid UTF-8.
  std::optional<std::string> string();

  std::uint64_t remaining() const { return bytes_.size() - pos_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace kelvara

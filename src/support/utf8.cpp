#include "support/utf8.hpp"

#include <optional>

namespace kelvara {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes the character at `i` and advances past it; a malformed sequence
// gives nothing and advances by one byte.
std::optional<char32_t> decode_one(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i++]);
  if (b0 < 0x80) return b0;
  int extra;
  char32_t c;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, c = b0 & 0x07;
  } else {
    return std::nullopt;
  }
  std::size_t j = i;
  for (int k = 0; k < extra; ++k, ++j) {
    if (j >= s.size() || (static_cast<unsigned char>(s[j]) & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (static_cast<unsigned char>(s[j]) & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  i = j;
  return c;
}

char32_t next_char(std::string_view s, std::size_t& i) {
  return decode_one(s, i).value_or(kReplacement);
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (!decode_one(text, i)) return false;
  }
  return true;
}

std::u32string decode_utf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) out.push_back(next_char(text, i));
  return out;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_unicode(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t i = begin;
    if (!is_unicode_space(next_char(text, i))) break;
    begin = i;
  }
  // Scan forward remembering where the last non-space character ended.
  std::size_t end = begin;
  for (std::size_t i = begin; i < text.size();) {
    const char32_t c = next_char(text, i);
    if (!is_unicode_space(c)) end = i;
  }
  return text.substr(begin, end - begin);
}

}  // namespace kelvara

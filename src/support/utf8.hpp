#pragma once
// UTF-8 to Unicode code points. Positions users see are counted in
// characters, not bytes. A malformed byte decodes to one U+FFFD, so any byte
// string is safe to decode.

#include <string>
#include <string_view>

namespace kelvara {

std::u32string decode_utf8(std::string_view text);

bool is_valid_utf8(std::string_view text);

// Unicode White_Space, the set trimmed from registry names.
bool is_unicode_space(char32_t c);

// `text` without Unicode white space at either end (byte offsets kept valid).
std::string_view trim_unicode(std::string_view text);

}  // namespace kelvara

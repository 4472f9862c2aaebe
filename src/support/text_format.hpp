#pragma once
// Every number and quoted name a user reads is written here, in one of a few
// fixed forms, all built on the shortest decimal digits that read back to the
// same double:
//   plain     100, 0.5, 1e-7 -> 0.0000001, inf     (no ".0" on integers)
//   exponent  1e-5, 2.5e6, -1.234567e7             (no "+", no leading zeros)
//   debug     1.0, 0.001, 1e-6, 2e16               (exponent below 1e-4 and from 1e16)
// NaN is "NaN" and infinities "inf" / "-inf" in every form.

#include <span>
#include <string>
#include <string_view>

namespace kelvara {

std::string format_plain(double x);
std::string format_exponent(double x);
std::string format_debug(double x);

// Exponent form with exactly `digits` digits after the point: 1.234568e-3.
std::string format_exponent_fixed(double x, int digits);

// Parameter listings: exponent form for NaN and for finite non-zero
// magnitudes below 1e-4 or from 1e6 up, plain form otherwise.
std::string format_param_value(double x);

// The text in double quotes with backslash escapes: "R0.r", "a\"b".
std::string debug_quote(std::string_view text);

// ["a", "b"]: each text quoted as above, comma separated, in brackets.
std::string debug_quote_list(std::span<const std::string> texts);

}  // namespace kelvara
